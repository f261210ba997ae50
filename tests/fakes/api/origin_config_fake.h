// Test controls of the in-memory allowlist configuration.
#pragma once
#include <vector>

#include "api/origin_config.h"

// The places the next reads report, in this order (none: no list).
void FakeOriginSourcesSet(const std::vector<OriginSource>& sources);
// Back to no places and no reads counted.
void FakeOriginSourcesReset();
int FakeOriginSourcesReads();
