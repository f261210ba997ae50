// The call log shared by printerwatch's fake backends, in call order across
// all of them, so tests can check what happened and in which order.
#pragma once

#include <string>
#include <vector>

void FakeLogAdd(const std::string& entry);
std::vector<std::string> FakeLogEntries();
void FakeLogClear();
