// msiembedded: reports what the installer finds when a command line selects
// an embedded transform of a package (TRANSFORMS=:<name>).
//
//   msiembedded.exe package.msi folder name [name ...]
//
// For each name it prints tab-separated lines "<name>\t<fact>\t<value>":
//
//   storage   absent | present      a sub-storage of that name in the package
//   class     {GUID}                the sub-storage's class (a transform's is
//                                   {000C1082-0000-0000-C000-000000000046})
//   summary   <error code>          its summary information, read by the
//                                   installer's own MsiGetSummaryInformation
//   template  <text>                PID_TEMPLATE       (only when summary is 0)
//   revision  <text>                PID_REVNUMBER
//   validation <number>             PID_CHARCOUNT, the validation conditions
//   apply     <error code>          MsiDatabaseApplyTransform(package, ":<name>")
//
// Nothing is written to the package. The transform is applied to a copy of
// it in folder (package.msi), opened for changes that are never committed;
// to read the summary, the sub-storage is copied into folder as <name>.mst.
// folder must exist; the caller owns it and removes it.
//
// Exit codes: 0 the facts were printed (whatever they are), 1 bad usage or
// the package cannot be opened as a compound file.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "msi_handle.h"

namespace {

const PROPID kPidTemplate = 7;
const PROPID kPidRevNumber = 9;
const PROPID kPidCharCount = 16;

std::string Utf8(const std::wstring& s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
  return out;
}

void Fact(const std::wstring& name, const char* fact, const std::wstring& value) {
  printf("%s\t%s\t%s\n", Utf8(name).c_str(), fact, Utf8(value).c_str());
}

template <typename T>
class Com {
 public:
  Com() = default;
  ~Com() { if (p_) p_->Release(); }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* get() const { return p_; }
  T** out() { return &p_; }
 private:
  T* p_ = nullptr;
};

std::wstring SummaryText(MSIHANDLE si, PROPID pid) {
  UINT type = 0;
  INT number = 0;
  FILETIME time = {};
  wchar_t buffer[1024] = L"";
  DWORD len = 1024;
  if (MsiSummaryInfoGetPropertyW(si, pid, &type, &number, &time, buffer, &len) != ERROR_SUCCESS ||
      type != VT_LPSTR)
    return L"";
  return buffer;
}

// Copies the sub-storage into a file of its own and reads its summary there,
// as the installer reads a transform's summary before it applies it.
void ReportSummary(IStorage* sub, const std::wstring& name, const std::wstring& file) {
  Com<IStorage> copy;
  HRESULT hr = StgCreateDocfile(file.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, copy.out());
  if (SUCCEEDED(hr)) hr = sub->CopyTo(0, nullptr, nullptr, copy.get());
  if (SUCCEEDED(hr)) hr = copy.get()->Commit(STGC_DEFAULT);
  if (FAILED(hr)) {
    Fact(name, "summary", L"copy failed " + std::to_wstring(static_cast<unsigned long>(hr)));
    return;
  }
  copy.get()->Release();
  *copy.out() = nullptr;

  MsiHandle si;
  UINT r = MsiGetSummaryInformationW(0, file.c_str(), 0, si.out());
  Fact(name, "summary", std::to_wstring(r));
  if (r != ERROR_SUCCESS) return;
  Fact(name, "template", SummaryText(si.get(), kPidTemplate));
  Fact(name, "revision", SummaryText(si.get(), kPidRevNumber));
  UINT type = 0;
  INT number = 0;
  FILETIME time = {};
  DWORD len = 0;
  if (MsiSummaryInfoGetPropertyW(si.get(), kPidCharCount, &type, &number, &time, nullptr, &len) == ERROR_SUCCESS &&
      type == VT_I4)
    Fact(name, "validation", std::to_wstring(number));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    fputs("usage: msiembedded.exe package.msi folder name [name ...]\n", stderr);
    return 1;
  }
  const wchar_t* package = argv[1];
  const std::wstring folder = argv[2];
  CoInitialize(nullptr);

  Com<IStorage> root;
  HRESULT hr = StgOpenStorage(package, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, root.out());
  if (FAILED(hr)) {
    fprintf(stderr, "msiembedded: cannot open %s as a compound file (0x%08lx)\n", Utf8(package).c_str(),
            static_cast<unsigned long>(hr));
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    const std::wstring name = argv[i];
    Com<IStorage> sub;
    if (FAILED(root.get()->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                       sub.out()))) {
      Fact(name, "storage", L"absent");
      continue;
    }
    Fact(name, "storage", L"present");
    STATSTG stat = {};
    if (SUCCEEDED(sub.get()->Stat(&stat, STATFLAG_NONAME))) {
      wchar_t clsid[40] = L"";
      StringFromGUID2(stat.clsid, clsid, 40);
      Fact(name, "class", clsid);
    }
    ReportSummary(sub.get(), name, folder + L"\\" + name + L".mst");
  }
  // The installer opens the package itself to apply a transform; the
  // compound file must not be held open meanwhile.
  root.get()->Release();
  *root.out() = nullptr;

  // Each transform is applied to the package as it is, not on top of
  // another: to a copy in the folder, opened as the installer opens a
  // package it installs, and never committed.
  const std::wstring copy = folder + L"\\package.msi";
  for (int i = 3; i < argc; ++i) {
    const std::wstring name = argv[i];
    MsiHandle db;
    UINT r = CopyFileW(package, copy.c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
    if (r == ERROR_SUCCESS) r = MsiOpenDatabaseW(copy.c_str(), MSIDBOPEN_TRANSACT, db.out());
    if (r == ERROR_SUCCESS) r = MsiDatabaseApplyTransformW(db.get(), (L":" + name).c_str(), 0);
    Fact(name, "apply", std::to_wstring(r));
  }
  return 0;
}
