// The file-backed LUN: CreateLun's file branch and the backend the worker calls for it.
#pragma once

#include "../AdapterInternal.h"
#include "Image.h"

// Opens Record->imagePath (read-only and shared for reading when the record says read-only,
// else read-write and unshared), recognises the container and fills the LUN's file fields,
// capacity, block size and backend. A container that does not open is served raw; failing to
// open or query the file fails. On failure nothing stays open. PASSIVE_LEVEL.
NTSTATUS FileLunOpen(LuExt* Lu, const CreateLunRecord* Record);

extern const LUN_BACKEND g_FileLunBackend;
