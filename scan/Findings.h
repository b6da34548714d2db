// What the scan has found so far.
#pragma once

#include <string>

// Set by any phase of the scan on any find and never reset. Written only by the
// main thread during the scan; final before the report thread starts.
extern bool InfectionFound;

// Prints "Found: " and the path on a line of its own and sets InfectionFound.
void RecordFind(const std::wstring& path);
