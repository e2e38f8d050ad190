#include "payload/folder_chain.h"

void HeldFolders::Release() {
  for (int i = kLevels - 1; i >= 0; --i) ReleaseRunFolder(&folder[i]);
}

bool FolderChainNames(const char* dataFolder, const char* leaf, PathText (&names)[HeldFolders::kLevels]) {
  return dataFolder[0] != '\0' && names[0].assign(dataFolder) && names[1].format("%s\\Qor", dataFolder) &&
         names[2].format("%s\\Vesk", names[1].c_str()) && names[3].format("%s\\%s", names[2].c_str(), leaf);
}

void TakeFolderChain(const PathText (&names)[HeldFolders::kLevels], RunFolder shared, RunFolder own,
                     HeldFolders* held) {
  HANDLE* f = held->folder;
  TakeRunFolder(names[0].c_str(), RunFolder::kExisting, &f[0]);
  TakeRunFolder(names[1].c_str(), shared, &f[1]);
  TakeRunFolder(names[2].c_str(), shared, &f[2]);
  TakeRunFolder(names[3].c_str(), own, &f[3]);
}
