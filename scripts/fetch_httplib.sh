#!/usr/bin/env bash
# Fetches cpp-httplib's single header, for both builds, from the source
# package of Debian's newest release (unstable), into DIR/httplib. The
# system's own apt configuration is left as it is: the newer suite's source
# stanza, built from the mirror this machine already uses, lives in a private
# apt state under DIR/apt, so every other package (binary or source) keeps
# coming from the system's release. Fails in one line, naming what it found,
# when that release does not carry the version the build expects.
# Usage: bash scripts/fetch_httplib.sh DIR   (setup.sh runs it)
source "$(dirname "$0")/prologue.sh"
tp=$(cd "$1" && pwd)
suite=sid
want=$(sed -nE 's/^set\(PG_HTTPLIB_VERSION ([0-9.]+)\)$/\1/p' "$root/cmake/httplib.cmake")
dir=$(ls -d "$tp"/cpp-httplib-"$want"+*/ 2>/dev/null | head -n1 || true)
header=${dir%/}/httplib.h

if [ -z "$dir" ] || [ ! -f "$header" ]; then
  state="$tp/apt"
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/parts"
  # The mirror's address and key come from the system's stanza of its main
  # archive (the one that carries the release's own codename).
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  sources=/etc/apt/sources.list.d/debian.sources
  if [ -f "$sources" ]; then
    awk -v RS= -v want="$codename" '
      $0 ~ /(^|\n)Types:[ \t]*deb([ \t]|\n|$)/ {
        n = split($0, lines, "\n"); suites = ""
        for (i = 1; i <= n; i++) if (lines[i] ~ /^Suites:/) suites = " " substr(lines[i], 8) " "
        if (index(suites, " " want " ") == 0) next
        for (i = 1; i <= n; i++) {
          line = lines[i]
          if (line ~ /^#/) continue
          if (line ~ /^Types:/) line = "Types: deb-src"
          if (line ~ /^Suites:/) line = "Suites: SUITE"
          printf "%s\n", line
        }
        exit
      }' "$sources" | sed "s/SUITE/$suite/" > "$state/newest.sources"
  else
    awk -v want="$codename" '$1 == "deb" && $3 == want { print "deb-src", $2, "'"$suite"'", "main"; exit }' \
      /etc/apt/sources.list > "$state/newest.list"
  fi
  list=$(ls "$state"/newest.* | head -n1)
  if [ ! -s "$list" ]; then
    echo "setup: cpp-httplib $want: no Debian mirror found in the system's apt sources" >&2
    exit 1
  fi
  opts=(-o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts="$state/parts"
        -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" -o Debug::NoLocking=1)
  found() { apt-cache "${opts[@]}" showsrc cpp-httplib 2>/dev/null | sed -n 's/^Version: //p' || true; }
  versions=$(found)
  if ! grep -q "^$want+" <<<"$versions"; then
    apt-get "${opts[@]}" update -qq >/dev/null 2>&1 || true
    versions=$(found)
  fi
  full=$(grep -m1 "^$want+" <<<"$versions" || true)
  if [ -z "$full" ]; then
    shown=${versions//$'\n'/, }
    echo "setup: cpp-httplib $want wanted from Debian's $suite, found ${shown:-none}" >&2
    exit 1
  fi
  (cd "$tp" && apt-get "${opts[@]}" source --download-only -qq "cpp-httplib=$full" >/dev/null 2>&1 &&
    dpkg-source -x --no-check "cpp-httplib_${full#*:}.dsc" >/dev/null)
  dir=$(ls -d "$tp"/cpp-httplib-"$want"+*/ | head -n1)
  header=${dir%/}/httplib.h
fi

got=$(sed -nE 's/^#define CPPHTTPLIB_VERSION "(.*)"$/\1/p' "$header" 2>/dev/null || true)
if [ "$got" != "$want" ]; then
  echo "setup: cpp-httplib $want wanted, $header holds ${got:-no version}" >&2
  exit 1
fi

# Our changes to the library (scripts/httplib.patch, which says why) go on a
# copy named after the patch's contents, so that a changed patch makes a new
# copy and the build configures again; the source as Debian ships it stays.
patchFile="$root/scripts/httplib.patch"
ours="$tp/cpp-httplib-$want-ours-$(sha256sum "$patchFile" | cut -c1-12)"
if [ ! -f "$ours/httplib.h" ]; then
  rm -rf "$ours.new"
  cp -a "${dir%/}" "$ours.new"
  if ! patch -d "$ours.new" -p1 --quiet --forward <"$patchFile"; then
    echo "setup: scripts/httplib.patch does not apply to cpp-httplib $want" >&2
    exit 1
  fi
  mv "$ours.new" "$ours"
fi
ln -sfn "$ours" "$tp/httplib"
