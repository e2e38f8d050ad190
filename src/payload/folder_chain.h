// The folder chain of one use, from the data folder down: data, maker
// (Qor), product (Qor\Vesk), and the staging or updater folder; held
// together and let go together.
#pragma once

#include "payload/run_folder.h"
#include "platform/fixed_text.h"

struct HeldFolders {
  static const int kLevels = 4;
  HANDLE folder[kLevels] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  // The paths the held folders are reached by (FolderChainNames of the data
  // folder's base, run_folder.h), each without a trailing backslash.
  PathText names[kLevels];
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  // Not noexcept: a thread that ends with its process may be unwound from
  // any platform call, these included.
  ~HeldFolders() noexcept(false) { Release(); }
  // Lets go of every level, bottom-up.
  void Release();
};

// The names of the chain of one use, from the data folder `dataFolder` down:
// names[0] the data folder, [1] <data>\Qor, [2] <data>\Qor\Vesk, [3]
// <data>\Qor\Vesk\<leaf>; each without a trailing backslash. False when the
// data folder is empty or a name does not fit.
bool FolderChainNames(const char* dataFolder, const char* leaf, PathText (&names)[HeldFolders::kLevels]);

// Holds the chain from the data folder `dataFolder` down to `leaf` in turn:
// the data folder as it is (made first when `makeData`), the maker and
// product folders as `shared` says, and the folder of the use as `own`
// says, each below the one above it (run_folder.h). Returns 0, or the error
// of the first level that cannot be used; *reached then tells that level
// (the levels above it stay held). A data folder that is empty, or names
// that do not fit, give ERROR_FILENAME_EXCED_RANGE at level 0.
DWORD OpenFolderChain(const char* dataFolder, const char* leaf, bool makeData, RunFolder shared, RunFolder own,
                      HeldFolders* held, int* reached = nullptr);

// OpenFolderChain for a chain the run cannot do without: a folder that
// cannot be used ends the process (TakeRunFolder).
void TakeFolderChain(const char* dataFolder, const char* leaf, bool makeData, RunFolder shared, RunFolder own,
                     HeldFolders* held);
