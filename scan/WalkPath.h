// The directories on the drive walk's current path, to keep a junction or a
// symbolic link that leads back to one of them from repeating the walk: a
// link to its own parent would otherwise repeat the tree until paths pass the
// platform's length limit, and two such links in one folder would multiply
// that into a walk that never ends in practice.
#pragma once

#include <string>

// Called when the walk enters and leaves a directory; `path` must stay alive
// until the directory is left.
void EnterWalkPath(const std::wstring& path);
void LeaveWalkPath();

// True when `path` (a directory that is a reparse point) is the same directory
// (same volume and file identity) as one already on the current path. A
// directory whose identity cannot be read is not taken for a cycle.
bool LeadsBackOnWalkPath(const std::wstring& path);
