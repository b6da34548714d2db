// The walk over every file of every usable drive, C: to Z:.
#pragma once

#include <string>

// Walks every drive from C: to Z: whose type is known and has a root.
void ScanDrives();

// Shows and tests every file below `path` (no trailing backslash), depth first.
void ScanDirectory(std::wstring path);
