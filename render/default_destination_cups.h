// The default destination's job options for the CUPS backend of the printing
// seam, kept from one label to the next while the scheduler says nothing
// changed.
#pragma once
#include <string>
#include <utility>
#include <vector>

// Job options as name and value, in the order they were found.
typedef std::vector<std::pair<std::string, std::string>> CupsOptionList;

// The options of the default destination that a Windows DEVMODE carries too
// (copies, quality, colour, sides, source, resolution, collation). False
// when there is no default destination, as libcups' own look-up finds.
// *namedDefault receives the queue that the scheduler has just named its
// default in this very look-up (empty when it named none, or the default was
// chosen outside the scheduler): proof that a queue of that name exists.
// Blocks for one round trip while the kept options stand, for two or three
// when they must be looked up again, each over a borrowed connection.
bool DefaultDestinationOptions(CupsOptionList* options, std::string* namedDefault);
