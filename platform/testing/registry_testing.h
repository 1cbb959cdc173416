// Test hook of the registry store: included by tests only.
#pragma once

namespace registry {
// Makes later writes stop after writing the temporary file, as a crash before the rename
// would.
void FailNextWritesBeforeRename(bool fail);
// Windows store: HKEY_LOCAL_MACHINE denies writes, as it does to a user without
// administrator rights.
void DenyMachineWrites(bool deny);
}  // namespace registry
