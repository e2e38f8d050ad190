#include "payload/folder_chain.h"

#include "payload/failure_report.h"

void HeldFolders::Release() {
  for (int i = kLevels - 1; i >= 0; --i) ReleaseRunFolder(&folder[i]);
}

bool FolderChainNames(const char* dataFolder, const char* leaf, PathText (&names)[HeldFolders::kLevels]) {
  return dataFolder[0] != '\0' && names[0].assign(dataFolder) && names[1].format("%s\\Qor", dataFolder) &&
         names[2].format("%s\\Vesk", names[1].c_str()) && names[3].format("%s\\%s", names[2].c_str(), leaf);
}

DWORD OpenFolderChain(const char* dataFolder, const char* leaf, bool makeData, RunFolder shared, RunFolder own,
                      HeldFolders* held, int* reached) {
  int level = 0;
  if (reached == nullptr) reached = &level;
  *reached = 0;
  held->Release();
  // Only a chain that makes folders needs the token: whether the run is
  // elevated, and whose folders it makes.
  Token token;
  if ((shared != RunFolder::kExisting || own != RunFolder::kExisting) && !ReadToken(&token))
    return LastErrorOrFailed();
  PathText base;
  if (dataFolder[0] == '\0') return ERROR_FILENAME_EXCED_RANGE;
  DWORD error = OpenDataFolder(dataFolder, makeData, token, &held->folder[0], &base);
  if (error != 0) return error;
  if (!FolderChainNames(base.c_str(), leaf, held->names)) return ERROR_FILENAME_EXCED_RANGE;
  const char* const leaves[HeldFolders::kLevels] = {nullptr, "Qor", "Vesk", leaf};
  for (*reached = 1; *reached < HeldFolders::kLevels; ++*reached) {
    int i = *reached;
    error = OpenFolderBelow(held->folder[i - 1], held->names[i - 1].c_str(), leaves[i],
                            i == HeldFolders::kLevels - 1 ? own : shared, token, &held->folder[i]);
    if (error != 0) return error;
  }
  return 0;
}

void TakeFolderChain(const char* dataFolder, const char* leaf, bool makeData, RunFolder shared, RunFolder own,
                     HeldFolders* held) {
  TakeRunFolder(OpenFolderChain(dataFolder, leaf, makeData, shared, own, held));
}
