// How the site list reads in each browser's policy language, and the merge
// into Firefox's shared policies.json. Pure text in, text out.
#include "policies/browser_policies.h"

#include <algorithm>

#include <cjson/cJSON.h>

namespace {

const char kRecord[] = "printgate";
const char kOurDomains[] = "SkipDomains";
const char kCreated[] = "created";

void AddUnique(std::vector<std::string>* list, const std::string& text) {
  if (std::find(list->begin(), list->end(), text) == list->end()) list->push_back(text);
}

// An object member of parent, created when absent; null when it exists as
// something else.
cJSON* ObjectMember(cJSON* parent, const char* name) {
  cJSON* member = cJSON_GetObjectItemCaseSensitive(parent, name);
  if (member == nullptr) member = cJSON_AddObjectToObject(parent, name);
  return cJSON_IsObject(member) ? member : nullptr;
}

std::vector<std::string> StringsOf(const cJSON* array) {
  std::vector<std::string> strings;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, array) {
    if (cJSON_IsString(item)) strings.push_back(item->valuestring);
  }
  return strings;
}

// Takes the first string equal to text out of array.
void RemoveString(cJSON* array, const std::string& text) {
  int index = 0;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, array) {
    if (cJSON_IsString(item) && text == item->valuestring) {
      cJSON_DeleteItemFromArray(array, index);
      return;
    }
    ++index;
  }
}

void DeleteIfEmpty(cJSON* parent, const char* name) {
  cJSON* member = cJSON_GetObjectItemCaseSensitive(parent, name);
  if (member != nullptr && member->child == nullptr) cJSON_DeleteItemFromObjectCaseSensitive(parent, name);
}

// Firefox reads a listed name as a destination as well as a site: listing
// "localhost" or an address would let every web site reach it unprompted.
bool IsAddressOrLoopback(const std::string& host) {
  std::string name = !host.empty() && host.back() == '.' ? host.substr(0, host.size() - 1) : host;
  if (name.empty() || name[0] == '[' || name.find_first_not_of("0123456789.") == std::string::npos) return true;
  const std::string loopback = "localhost";
  return name == loopback ||
         (name.size() > loopback.size() && name.compare(name.size() - loopback.size() - 1, std::string::npos,
                                                         "." + loopback) == 0);
}

std::string Printed(const cJSON* item) {
  char* text = cJSON_Print(item);
  std::string printed = text == nullptr ? "" : std::string(text) + "\n";
  cJSON_free(text);
  return printed;
}

}  // namespace

std::vector<std::string> ChromiumPatterns(const std::vector<AllowedOrigin>& entries,
                                          std::vector<std::string>* skipped) {
  std::vector<std::string> patterns;
  for (const AllowedOrigin& entry : entries) {
    if (entry.isNull) {
      skipped->push_back("Chromium: \"null\" left out: its policies name sites, and such a page has none");
      continue;
    }
    std::string pattern = SerializeOrigin(entry);
    if (entry.wildcard) pattern.replace(pattern.find("://*.") + 3, 2, "[*.]");
    AddUnique(&patterns, pattern);
  }
  return patterns;
}

std::vector<std::string> FirefoxSkipDomains(const std::vector<AllowedOrigin>& entries,
                                            std::vector<std::string>* skipped) {
  std::vector<std::string> domains;
  for (const AllowedOrigin& entry : entries) {
    if (entry.isNull) {
      skipped->push_back("Firefox: \"null\" left out: its policy names sites, and such a page has none");
      continue;
    }
    if (IsAddressOrLoopback(entry.host)) {
      skipped->push_back("Firefox: \"" + entry.host + "\" left out: Firefox would read it as a destination too, " +
                         "and let every web site reach it");
      continue;
    }
    AddUnique(&domains, (entry.wildcard ? "*." : "") + entry.host);
  }
  return domains;
}

std::string ChromiumPolicyText(const std::vector<std::string>& patterns) {
  if (patterns.empty()) return "";
  cJSON* root = cJSON_CreateObject();
  // The older name serves Chromium releases from before the loopback one.
  for (const char* name : {"LoopbackNetworkAllowedForUrls", "LocalNetworkAccessAllowedForUrls"}) {
    cJSON* list = cJSON_AddArrayToObject(root, name);
    for (const std::string& pattern : patterns) cJSON_AddItemToArray(list, cJSON_CreateString(pattern.c_str()));
  }
  std::string text = Printed(root);
  cJSON_Delete(root);
  return text;
}

FirefoxMerge MergeFirefoxPolicies(const std::string* existing, const std::vector<std::string>& domains) {
  FirefoxMerge merge;
  cJSON* root = existing == nullptr ? cJSON_CreateObject() : cJSON_ParseWithLength(existing->data(), existing->size());
  if (!cJSON_IsObject(root)) {
    cJSON_Delete(root);
    merge.why = "not a JSON object";
    return merge;
  }
  cJSON* record = cJSON_GetObjectItemCaseSensitive(root, kRecord);
  bool created = existing == nullptr || cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(record, kCreated));
  std::vector<std::string> oursBefore = StringsOf(cJSON_GetObjectItemCaseSensitive(record, kOurDomains));
  cJSON* policies = ObjectMember(root, "policies");
  cJSON* access = policies == nullptr ? nullptr : ObjectMember(policies, "LocalNetworkAccess");
  cJSON* skip = access == nullptr ? nullptr : cJSON_GetObjectItemCaseSensitive(access, "SkipDomains");
  if (access != nullptr && skip == nullptr) skip = cJSON_AddArrayToObject(access, "SkipDomains");
  if (!cJSON_IsArray(skip)) {
    cJSON_Delete(root);
    merge.why = "its policies, LocalNetworkAccess or SkipDomains are not what Firefox reads";
    return merge;
  }
  for (const std::string& domain : oursBefore) RemoveString(skip, domain);
  // A domain someone else listed stays theirs: not added again, not recorded.
  std::vector<std::string> others = StringsOf(skip);
  std::vector<std::string> ours;
  for (const std::string& domain : domains) {
    if (std::find(others.begin(), others.end(), domain) != others.end()) continue;
    AddUnique(&ours, domain);
    cJSON_AddItemToArray(skip, cJSON_CreateString(domain.c_str()));
  }
  cJSON_DeleteItemFromObjectCaseSensitive(root, kRecord);
  if (!ours.empty()) {
    record = cJSON_AddObjectToObject(root, kRecord);
    cJSON_AddBoolToObject(record, kCreated, created);
    cJSON* list = cJSON_AddArrayToObject(record, kOurDomains);
    for (const std::string& domain : ours) cJSON_AddItemToArray(list, cJSON_CreateString(domain.c_str()));
  }
  DeleteIfEmpty(access, "SkipDomains");
  DeleteIfEmpty(policies, "LocalNetworkAccess");
  if (ours.empty() && created) DeleteIfEmpty(root, "policies");
  merge.ok = true;
  merge.removeFile = created && root->child == nullptr;
  if (!merge.removeFile) merge.text = Printed(root);
  merge.unchanged = existing != nullptr && !merge.removeFile && merge.text == *existing;
  if (existing == nullptr && merge.removeFile) merge.unchanged = true;
  cJSON_Delete(root);
  return merge;
}
