// msiembed: stores transform files inside a package as sub-storages, where
// "msiexec /i package.msi TRANSFORMS=:<name>" finds them.
//
//   msiembed.exe package.msi name file.mst [name file.mst ...]
//
// Each file goes in through the installer's own _Storages table (a record of
// name and stream, MSIMODIFY_INSERT), and the package is committed once after
// all of them: either every storage is added or the package is left as it
// was. A name the package already holds is refused rather than replaced.
// Exit codes: 0 done, 1 bad usage or a failure (nothing changed).

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "msi_handle.h"

namespace {

const CLSID kClsidMsiTransform = {
    0x000C1082, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

const char kUsage[] =
    "usage: msiembed.exe package.msi name file.mst [name file.mst ...]\n"
    "Stores each transform file in the package as a sub-storage called name, for\n"
    "TRANSFORMS=:name. Make this the last change to the package: tools that rewrite\n"
    "the package without the installer's database API (msibuild, for one) keep the\n"
    "name listed but break the storage, and applying the transform then fails (1627).\n";

std::string Utf8(const std::wstring& s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
  return out;
}

int Failure(const std::wstring& text) {
  fprintf(stderr, "msiembed: %s\n", Utf8(text).c_str());
  return 1;
}

// Storage names are compound-file element names: at most 31 characters,
// none of them a path separator, ':' or '!'.
bool ValidName(const std::wstring& name) {
  if (name.empty() || name.size() > 31) return false;
  for (wchar_t c : name)
    if (c < 0x20 || c == L'/' || c == L'\\' || c == L':' || c == L'!') return false;
  return true;
}

bool IsTransformFile(const wchar_t* path) {
  IStorage* stg = nullptr;
  if (FAILED(StgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &stg))) return false;
  STATSTG stat = {};
  bool ok = SUCCEEDED(stg->Stat(&stat, STATFLAG_NONAME)) && IsEqualCLSID(stat.clsid, kClsidMsiTransform);
  stg->Release();
  return ok;
}

bool HasStorage(MSIHANDLE db, const std::wstring& name) {
  MsiHandle view;
  if (MsiDatabaseOpenViewW(db, L"SELECT `Name` FROM `_Storages`", view.out()) != ERROR_SUCCESS ||
      MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
    return false;
  for (;;) {
    MsiHandle rec;
    if (MsiViewFetch(view.get(), rec.out()) != ERROR_SUCCESS) return false;
    wchar_t buffer[64] = L"";
    DWORD len = 64;
    if (MsiRecordGetStringW(rec.get(), 1, buffer, &len) == ERROR_SUCCESS && name == buffer) return true;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc % 2 != 0) {
    fputs(kUsage, stderr);
    return 1;
  }
  const wchar_t* package = argv[1];
  for (int i = 2; i < argc; i += 2) {
    if (!ValidName(argv[i])) return Failure(L"\"" + std::wstring(argv[i]) + L"\" cannot name a storage");
    for (int j = 2; j < i; j += 2)
      if (std::wstring(argv[i]) == argv[j]) return Failure(L"storage " + std::wstring(argv[i]) + L" is given twice");
    if (!IsTransformFile(argv[i + 1]))
      return Failure(std::wstring(argv[i + 1]) + L" is not a transform file (a compound file of the transform class)");
  }

  MsiHandle db;
  UINT r = MsiOpenDatabaseW(package, MSIDBOPEN_TRANSACT, db.out());
  if (r != ERROR_SUCCESS) return Failure(L"cannot open " + std::wstring(package) + L" (" + std::to_wstring(r) + L")");
  for (int i = 2; i < argc; i += 2) {
    const std::wstring name = argv[i];
    if (HasStorage(db.get(), name)) return Failure(L"the package already holds a storage named " + name);
    MsiHandle view, rec(MsiCreateRecord(2));
    r = MsiDatabaseOpenViewW(db.get(), L"SELECT `Name`, `Data` FROM `_Storages`", view.out());
    if (r == ERROR_SUCCESS) r = MsiViewExecute(view.get(), 0);
    if (r == ERROR_SUCCESS) r = MsiRecordSetStringW(rec.get(), 1, name.c_str());
    if (r == ERROR_SUCCESS) r = MsiRecordSetStreamW(rec.get(), 2, argv[i + 1]);
    if (r == ERROR_SUCCESS) r = MsiViewModify(view.get(), MSIMODIFY_INSERT, rec.get());
    if (r != ERROR_SUCCESS)
      return Failure(L"cannot store " + std::wstring(argv[i + 1]) + L" as " + name + L" (" + std::to_wstring(r) + L")");
  }
  r = MsiDatabaseCommit(db.get());
  if (r != ERROR_SUCCESS) return Failure(L"cannot commit " + std::wstring(package) + L" (" + std::to_wstring(r) + L")");
  return 0;
}
