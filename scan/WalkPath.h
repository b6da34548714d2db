// The directories on the drive walk's current path, to keep a directory that
// leads back to one of them from repeating the walk: a link to its own parent
// would otherwise repeat the tree until paths pass the platform's length
// limit, and two such links in one folder would multiply that into a walk
// that never ends in practice.
#pragma once

#include "platform/Platform.h"

#include <string>

// Starts the guard afresh for the walk of one drive, with no identity pending
// from an earlier walk, and sets whether every directory of it is checked or
// only reparse points (junctions, symbolic links, mount points, cloud-file
// folders) and every directory at any depth below one. A file server may
// present its links as plain folders (Samba does by default), so on a network
// drive every one is checked; so is every one below a link, which may lead
// into a share.
void ResetWalkPath(bool checkEveryDirectory);

// Called when the walk enters and leaves a directory; `path` must stay alive
// until the directory is left.
void EnterWalkPath(const std::wstring& path);
void LeaveWalkPath();

// True when the directory entry at `path`, listed with `attributes`, is the
// same directory (same volume and file identity) as one already on the
// current path. A directory whose identity cannot be read, or whose file
// system reports no usable one, is never taken for a cycle.
bool LeadsBackOnWalkPath(const std::wstring& path, DWORD attributes);
