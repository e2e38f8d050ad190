// The folder chain of one use, from the data folder down: data, maker
// (Qor), product (Qor\Vesk), and the staging or updater folder; held
// together and let go together.
#pragma once

#include "payload/run_folder.h"
#include "platform/fixed_text.h"

// The held folders of one chain (at the latest let go when the holder goes
// out of scope), bottom-up.
struct HeldFolders {
  static const int kLevels = 4;
  HANDLE folder[kLevels] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  // Not noexcept: a thread that ends with its process may be unwound from
  // any platform call, these included.
  ~HeldFolders() noexcept(false) { Release(); }
  void Release();
};

// The names of the chain of one use, from the data folder `dataFolder` down:
// names[0] the data folder, [1] <data>\Qor, [2] <data>\Qor\Vesk, [3]
// <data>\Qor\Vesk\<leaf>; each without a trailing backslash. False when the
// data folder is empty or a name does not fit.
bool FolderChainNames(const char* dataFolder, const char* leaf, PathText (&names)[HeldFolders::kLevels]);

// Holds the chain `names` (FolderChainNames) in turn: the data folder as it
// is, the maker and product folders as `shared` says, and the folder of the
// use as `own` says. A folder that cannot be used ends the process
// (TakeRunFolder).
void TakeFolderChain(const PathText (&names)[HeldFolders::kLevels], RunFolder shared, RunFolder own,
                     HeldFolders* held);
