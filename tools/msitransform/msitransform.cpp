// msitransform: writes the Windows Installer transform that turns one package
// into another, for packages that differ only in the rows of their tables.
//
//   msitransform.exe base.msi modified.msi out.mst [validation]
//
// The installer's own generator (MsiDatabaseGenerateTransform) is not
// available under Wine, so this program diffs the two packages itself and
// writes the transform file directly. It is a compound file of class
// CLSID_MsiTransform {000C1082-0000-0000-C000-000000000046} holding:
//
//   _StringPool   u32 codepage (the modified package's), then for each string
//                 id 1..n a u16 byte length and a u16 reference count.
//   _StringData   the strings of the pool in id order, encoded in that
//                 codepage, concatenated without terminators.
//   <Table>       one stream per table whose rows differ, row after row. Each
//                 row is a u16 mask followed by its cells:
//                   (ncols << 8) | 1  an inserted row: all its cells follow;
//                   bit i = column i  an updated row: the key cells and the
//                                     cells of the changed columns follow;
//                   0                 a deleted row: its key cells follow.
//                 An update whose first column changes, or in a table of more
//                 than 16 columns, is written as a full row, which replaces
//                 the row of that key.
//                 Cells: a string is its u16 string id (0 = null); a 2-byte
//                 integer is value + 0x8000, a 4-byte integer is
//                 value ^ 0x80000000 (0 = null for both).
//   \005SummaryInformation
//                 a property set: codepage 1252; template = the base
//                 package's template; last author = the modified package's
//                 template; revision = "{basecode}basever;{modcode}modver;
//                 {upgradecode}"; page count 200; character count: the
//                 validation conditions (MSITRANSFORM_VALIDATE_* flags, a
//                 number, 0x... for hex; none when not given) in its upper
//                 word and no error conditions in the lower one. The
//                 installer skips an embedded transform without these.
//
// Stream names are stored the way the installer stores table streams: the
// character 0x4840, then the name with characters of [0-9A-Za-z._] (indices
// 0..63 in that order) packed two to a character as 0x3800 + a + (b << 6), a
// lone one as 0x4800 + a; other characters stay as they are.
//
// Differences a transform of rows cannot carry are refused with exit code 2
// and a message naming the table, and nothing is written: a table present in
// only one package, a table whose columns differ, a row insert or update that
// would have to carry a binary (stream) cell, and text the codepage cannot
// hold. Exit code 1: bad usage, unreadable input or a failed write.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "msi_handle.h"

namespace {

const CLSID kClsidMsiTransform = {
    0x000C1082, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const uint8_t kFmtidSummaryInformation[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                              0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};

enum ExitCode { kOk = 0, kFailed = 1, kRefused = 2 };

std::string Utf8(const std::wstring& s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
  return out;
}

// The one way this program reports a problem: a message and the exit code.
struct Problem {
  ExitCode code = kOk;
  std::string message;
};

Problem Fail(ExitCode code, const std::wstring& text) { return {code, Utf8(text)}; }

enum class Kind { kString, kInt2, kInt4, kBinary };

struct Column {
  std::wstring name;
  std::wstring type;  // as the installer reports it: "s72", "L0", "i2", "I4", "v0", ...
  Kind kind;
  bool key;
};

struct Cell {
  bool null = true;
  int number = 0;
  std::wstring text;
  std::string bytes;  // binary columns
  bool operator==(const Cell& o) const {
    return null == o.null && number == o.number && text == o.text && bytes == o.bytes;
  }
};
using Row = std::vector<Cell>;

struct Table {
  std::wstring name;
  std::vector<Column> columns;
  std::vector<Row> rows;
};

std::wstring RecordString(MSIHANDLE rec, unsigned field) {
  DWORD len = 0;
  wchar_t empty[1];
  if (MsiRecordGetStringW(rec, field, empty, &len) != ERROR_MORE_DATA) return L"";
  std::wstring s(len + 1, L'\0');
  ++len;
  MsiRecordGetStringW(rec, field, &s[0], &len);
  s.resize(len);
  return s;
}

bool KindOf(const std::wstring& type, Kind* kind) {
  if (type.empty()) return false;
  int size = _wtoi(type.c_str() + 1);
  switch (towlower(type[0])) {
    case L's': case L'l': *kind = Kind::kString; return true;
    case L'v': *kind = Kind::kBinary; return true;
    case L'i':
      if (size == 2) { *kind = Kind::kInt2; return true; }
      if (size == 4) { *kind = Kind::kInt4; return true; }
      return false;
    default: return false;
  }
}

Problem ReadTable(MSIHANDLE db, const std::wstring& name, Table* table) {
  table->name = name;
  MsiHandle view, names, types, keys;
  std::wstring query = L"SELECT * FROM `" + name + L"`";
  if (MsiDatabaseOpenViewW(db, query.c_str(), view.out()) != ERROR_SUCCESS ||
      MsiViewExecute(view.get(), 0) != ERROR_SUCCESS ||
      MsiViewGetColumnInfo(view.get(), MSICOLINFO_NAMES, names.out()) != ERROR_SUCCESS ||
      MsiViewGetColumnInfo(view.get(), MSICOLINFO_TYPES, types.out()) != ERROR_SUCCESS ||
      MsiDatabaseGetPrimaryKeysW(db, name.c_str(), keys.out()) != ERROR_SUCCESS)
    return Fail(kFailed, L"cannot read table " + name);
  unsigned count = MsiRecordGetFieldCount(names.get());
  unsigned key_count = MsiRecordGetFieldCount(keys.get());
  for (unsigned i = 1; i <= count; ++i) {
    Column c;
    c.name = RecordString(names.get(), i);
    c.type = RecordString(types.get(), i);
    c.key = false;
    for (unsigned k = 1; k <= key_count; ++k) c.key = c.key || RecordString(keys.get(), k) == c.name;
    if (!KindOf(c.type, &c.kind))
      return Fail(kRefused, L"table " + name + L": column " + c.name + L" has type " + c.type +
                                L", which this transform format does not cover");
    table->columns.push_back(c);
  }
  for (;;) {
    MsiHandle rec;
    UINT r = MsiViewFetch(view.get(), rec.out());
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return Fail(kFailed, L"cannot read the rows of table " + name);
    Row row(count);
    for (unsigned i = 0; i < count; ++i) {
      Cell& cell = row[i];
      cell.null = MsiRecordIsNull(rec.get(), i + 1) != 0;
      if (cell.null) continue;
      switch (table->columns[i].kind) {
        case Kind::kString: cell.text = RecordString(rec.get(), i + 1); break;
        case Kind::kInt2: case Kind::kInt4: cell.number = MsiRecordGetInteger(rec.get(), i + 1); break;
        case Kind::kBinary: {
          cell.bytes.resize(MsiRecordDataSize(rec.get(), i + 1));
          DWORD got = static_cast<DWORD>(cell.bytes.size());
          if (got && MsiRecordReadStream(rec.get(), i + 1, &cell.bytes[0], &got) != ERROR_SUCCESS)
            return Fail(kFailed, L"cannot read binary column " + table->columns[i].name + L" of table " + name);
          cell.bytes.resize(got);
          break;
        }
      }
    }
    table->rows.push_back(row);
  }
  return {};
}

Problem ReadTableNames(MSIHANDLE db, std::vector<std::wstring>* names) {
  MsiHandle view;
  if (MsiDatabaseOpenViewW(db, L"SELECT `Name` FROM `_Tables`", view.out()) != ERROR_SUCCESS ||
      MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
    return Fail(kFailed, L"cannot list the tables");
  for (;;) {
    MsiHandle rec;
    if (MsiViewFetch(view.get(), rec.out()) != ERROR_SUCCESS) return {};
    names->push_back(RecordString(rec.get(), 1));
  }
}

std::wstring PropertyValue(const Table& property, const wchar_t* name) {
  for (const Row& row : property.rows)
    if (row.size() >= 2 && row[0].text == name) return row[1].text;
  return L"";
}

std::wstring SummaryTemplate(MSIHANDLE db) {
  MsiHandle si;
  if (MsiGetSummaryInformationW(db, nullptr, 0, si.out()) != ERROR_SUCCESS) return L"";
  UINT type = 0;
  INT number = 0;
  FILETIME ft;
  wchar_t buffer[256] = L"";
  DWORD len = 256;
  if (MsiSummaryInfoGetPropertyW(si.get(), PIDSI_TEMPLATE, &type, &number, &ft, buffer, &len) != ERROR_SUCCESS)
    return L"";
  return buffer;
}

// Reads the codepage of a database, which the API offers only as an export of
// the _ForceCodepage pseudo-table: "\r\n\r\n<codepage>\t_ForceCodepage\r\n".
bool DatabaseCodepage(MSIHANDLE db, UINT* codepage) {
  wchar_t dir[MAX_PATH], file[MAX_PATH];
  if (!GetTempPathW(MAX_PATH, dir) || !GetTempFileNameW(dir, L"cp", 0, file)) return false;
  std::wstring path = file, folder = path.substr(0, path.find_last_of(L'\\'));
  std::wstring leaf = path.substr(folder.size() + 1);
  bool ok = MsiDatabaseExportW(db, L"_ForceCodepage", folder.c_str(), leaf.c_str()) == ERROR_SUCCESS;
  char text[64] = "";
  if (FILE* f = ok ? _wfopen(path.c_str(), L"rb") : nullptr) {
    text[fread(text, 1, sizeof text - 1, f)] = 0;
    fclose(f);
  }
  DeleteFileW(path.c_str());
  const char* p = text;
  while (*p == '\r' || *p == '\n') ++p;
  if (!ok || *p < '0' || *p > '9') return false;
  *codepage = static_cast<UINT>(strtoul(p, nullptr, 10));
  return true;
}

// --- writing -------------------------------------------------------------

class Bytes {
 public:
  void U16(unsigned v) { data_.push_back(v & 0xFF); data_.push_back((v >> 8) & 0xFF); }
  void U32(uint32_t v) { U16(v & 0xFFFF); U16(v >> 16); }
  void Raw(const void* p, size_t n) { data_.append(static_cast<const char*>(p), n); }
  void PadTo4() { while (data_.size() % 4) data_.push_back(0); }
  void Put32At(size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) data_[at + i] = char(v >> (8 * i)); }
  size_t size() const { return data_.size(); }
  const std::string& str() const { return data_; }
 private:
  std::string data_;
};

class StringPool {
 public:
  explicit StringPool(UINT codepage) : codepage_(codepage) {}
  // Returns the id of the text (0 for an empty one), or 0 with *problem set.
  unsigned Add(const std::wstring& text, const std::wstring& table, Problem* problem) {
    if (text.empty()) return 0;
    auto it = ids_.find(text);
    if (it != ids_.end()) {
      if (refs_[it->second - 1] < 0xFFFF) ++refs_[it->second - 1];
      return it->second;
    }
    std::string encoded;
    if (!Encode(text, &encoded)) {
      *problem = Fail(kRefused, L"table " + table + L": the text \"" + text + L"\" cannot be stored in codepage " +
                                    std::to_wstring(codepage_) + L" of the modified package");
      return 0;
    }
    if (encoded.size() > 0xFFFF || ids_.size() >= 0xFFFF) {
      *problem = Fail(kRefused, L"table " + table + L": a text of 64 KiB or more, or more than 65535 texts");
      return 0;
    }
    strings_.push_back(encoded);
    refs_.push_back(1);
    return ids_[text] = static_cast<unsigned>(strings_.size());
  }
  Bytes Pool() const {
    Bytes b;
    b.U32(codepage_);
    for (size_t i = 0; i < strings_.size(); ++i) { b.U16(strings_[i].size()); b.U16(refs_[i]); }
    return b;
  }
  Bytes Data() const {
    Bytes b;
    for (const std::string& s : strings_) b.Raw(s.data(), s.size());
    return b;
  }
 private:
  // A neutral database (codepage 0) holds ASCII only; otherwise the text
  // must survive the round trip through its codepage unchanged.
  bool Encode(const std::wstring& text, std::string* out) const {
    if (codepage_ == 0) {
      for (wchar_t c : text) { if (c >= 0x80) return false; out->push_back(char(c)); }
      return true;
    }
    int n = WideCharToMultiByte(codepage_, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out->resize(n);
    WideCharToMultiByte(codepage_, 0, text.data(), int(text.size()), &(*out)[0], n, nullptr, nullptr);
    std::wstring back(text.size() * 2 + 1, L'\0');
    int m = MultiByteToWideChar(codepage_, 0, out->data(), n, &back[0], int(back.size()));
    return m == int(text.size()) && back.compare(0, m, text) == 0;
  }
  UINT codepage_;
  std::map<std::wstring, unsigned> ids_;
  std::vector<std::string> strings_;
  std::vector<unsigned> refs_;
};

void PutCell(const Column& column, const Cell& cell, StringPool* pool, const std::wstring& table, Bytes* out,
             Problem* problem) {
  switch (column.kind) {
    case Kind::kString: out->U16(cell.null ? 0 : pool->Add(cell.text, table, problem)); break;
    case Kind::kInt2: out->U16(cell.null ? 0 : (cell.number + 0x8000) & 0xFFFF); break;
    case Kind::kInt4: out->U32(cell.null ? 0 : uint32_t(cell.number) ^ 0x80000000u); break;
    case Kind::kBinary: break;  // never written: such changes are refused before
  }
}

std::wstring KeyOf(const Table& table, const Row& row) {
  std::wstring key;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (!table.columns[i].key) continue;
    const Cell& c = row[i];
    std::wstring part = c.null ? L"-" : table.columns[i].kind == Kind::kString ? L"s" + c.text
                                                                               : L"i" + std::to_wstring(c.number);
    key += std::to_wstring(part.size()) + L":" + part;
  }
  return key;
}

std::wstring SchemaDifference(const Table& a, const Table& b) {
  if (a.columns.size() != b.columns.size())
    return L"it has " + std::to_wstring(a.columns.size()) + L" columns in the base package and " +
           std::to_wstring(b.columns.size()) + L" in the modified one";
  for (size_t i = 0; i < a.columns.size(); ++i) {
    const Column &x = a.columns[i], &y = b.columns[i];
    if (x.name != y.name || x.type != y.type || x.key != y.key)
      return L"column " + std::to_wstring(i + 1) + L" is " + x.name + L" " + x.type + (x.key ? L" key" : L"") +
             L" in the base package and " + y.name + L" " + y.type + (y.key ? L" key" : L"") + L" in the modified one";
  }
  return L"";
}

// Appends the rows that turn `base` into `modified` to *out: deletions, then
// inserts and updates in the modified package's order.
Problem DiffTable(const Table& base, const Table& modified, StringPool* pool, Bytes* out) {
  const std::vector<Column>& columns = base.columns;
  const size_t n = columns.size();
  std::map<std::wstring, const Row*> base_rows, modified_rows;
  for (const Row& r : base.rows) base_rows[KeyOf(base, r)] = &r;
  for (const Row& r : modified.rows) modified_rows[KeyOf(modified, r)] = &r;

  Problem problem;
  for (const Row& r : base.rows) {
    if (modified_rows.count(KeyOf(base, r))) continue;
    out->U16(0);
    for (size_t i = 0; i < n; ++i)
      if (columns[i].key) PutCell(columns[i], r[i], pool, base.name, out, &problem);
    if (problem.code) return problem;
  }
  for (const Row& r : modified.rows) {
    auto it = base_rows.find(KeyOf(modified, r));
    const Row* old = it == base_rows.end() ? nullptr : it->second;
    if (old && *old == r) continue;
    // An update lists the columns it changes, as the installer's own
    // transforms do: bit i stands for column i, and bit 0 is free because
    // the first column is part of the key. Otherwise the full row goes in.
    unsigned mask = 0;
    for (size_t i = 0; old && i < n; ++i)
      if (!(r[i] == (*old)[i])) mask |= 1u << i;
    const bool masked = old && n <= 16 && !(mask & 1);
    for (size_t i = 0; i < n; ++i)
      if (columns[i].kind == Kind::kBinary && (!masked || (mask & (1u << i))))
        return Fail(kRefused, L"table " + base.name + L": a row " + (old ? L"update" : L"insert") +
                                  L" would have to carry the binary column " + columns[i].name +
                                  L", which this transform format leaves out");
    out->U16(masked ? mask : unsigned(n << 8) | 1);
    for (size_t i = 0; i < n; ++i)
      if (!masked || columns[i].key || (mask & (1u << i)))
        PutCell(columns[i], r[i], pool, base.name, out, &problem);
    if (problem.code) return problem;
  }
  return problem;
}

int MimeIndex(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
  if (c >= L'a' && c <= L'z') return c - L'a' + 36;
  if (c == L'.') return 62;
  if (c == L'_') return 63;
  return -1;
}

std::wstring EncodedStreamName(const std::wstring& name) {
  std::wstring out(1, wchar_t(0x4840));
  for (size_t i = 0; i < name.size(); ++i) {
    int a = MimeIndex(name[i]);
    int b = i + 1 < name.size() ? MimeIndex(name[i + 1]) : -1;
    if (a < 0) out += name[i];
    else if (b < 0) out += wchar_t(0x4800 + a);
    else { out += wchar_t(0x3800 + a + (b << 6)); ++i; }
  }
  return out;
}

Bytes SummaryStream(const std::string& base_template, const std::string& modified_template,
                    const std::string& revision, uint32_t validation) {
  struct Property { uint32_t id; uint16_t type; uint32_t number; std::string text; };
  const Property props[] = {
      {1, VT_I2, 1252, ""}, {7, VT_LPSTR, 0, base_template}, {8, VT_LPSTR, 0, modified_template},
      {9, VT_LPSTR, 0, revision}, {14, VT_I4, 200, ""}, {16, VT_I4, validation << 16, ""}};
  const uint32_t count = sizeof props / sizeof props[0];
  Bytes b;
  b.U16(0xFFFE); b.U16(0); b.U32(0x00020006);  // byte order, format version, originating system
  for (int i = 0; i < 4; ++i) b.U32(0);           // class id
  b.U32(1);                                       // one section
  b.Raw(kFmtidSummaryInformation, 16);
  b.U32(48);                                      // where the section starts
  const size_t section = b.size();
  b.U32(0); b.U32(count);
  const size_t table = b.size();
  for (uint32_t i = 0; i < count; ++i) { b.U32(props[i].id); b.U32(0); }
  for (uint32_t i = 0; i < count; ++i) {
    b.Put32At(table + 8 * i + 4, uint32_t(b.size() - section));
    b.U16(props[i].type); b.U16(0);
    if (props[i].type == VT_I2) b.U16(props[i].number);
    else if (props[i].type == VT_I4) b.U32(props[i].number);
    else { b.U32(uint32_t(props[i].text.size() + 1)); b.Raw(props[i].text.c_str(), props[i].text.size() + 1); }
    b.PadTo4();
  }
  b.Put32At(section, uint32_t(b.size() - section));
  return b;
}

bool WriteTransform(const std::wstring& path, const std::vector<std::pair<std::wstring, Bytes>>& streams) {
  IStorage* stg = nullptr;
  if (FAILED(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stg)))
    return false;
  bool ok = SUCCEEDED(stg->SetClass(kClsidMsiTransform));
  for (const auto& s : streams) {
    IStream* stm = nullptr;
    ULONG written = 0;
    ok = ok && SUCCEEDED(stg->CreateStream(s.first.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                           &stm));
    ok = ok && SUCCEEDED(stm->Write(s.second.str().data(), ULONG(s.second.size()), &written)) &&
         written == s.second.size();
    if (stm) stm->Release();
  }
  ok = ok && SUCCEEDED(stg->Commit(STGC_DEFAULT));
  stg->Release();
  if (!ok) DeleteFileW(path.c_str());
  return ok;
}

struct Package {
  MsiHandle db;
  std::vector<std::wstring> table_names;
  std::map<std::wstring, Table> tables;
};

Problem OpenPackage(const wchar_t* path, Package* p) {
  if (MsiOpenDatabaseW(path, MSIDBOPEN_READONLY, p->db.out()) != ERROR_SUCCESS)
    return Fail(kFailed, std::wstring(L"cannot open the package ") + path);
  Problem problem = ReadTableNames(p->db.get(), &p->table_names);
  for (const std::wstring& name : p->table_names)
    if (!problem.code) problem = ReadTable(p->db.get(), name, &p->tables[name]);
  return problem;
}

Problem Generate(const wchar_t* base_path, const wchar_t* modified_path, const wchar_t* out_path,
                 uint32_t validation) {
  Package base, modified;
  Problem problem = OpenPackage(base_path, &base);
  if (!problem.code) problem = OpenPackage(modified_path, &modified);
  if (problem.code) return problem;

  for (const std::wstring& name : modified.table_names)
    if (!base.tables.count(name))
      return Fail(kRefused, L"table " + name + L" is new in the modified package; a transform of rows cannot add it");
  for (const std::wstring& name : base.table_names) {
    if (!modified.tables.count(name))
      return Fail(kRefused, L"table " + name + L" is missing from the modified package; a transform of rows cannot drop it");
    std::wstring difference = SchemaDifference(base.tables[name], modified.tables[name]);
    if (!difference.empty()) return Fail(kRefused, L"table " + name + L" differs in its columns: " + difference);
  }

  UINT codepage = 0;
  if (!DatabaseCodepage(modified.db.get(), &codepage))
    return Fail(kFailed, L"cannot read the codepage of the modified package");
  StringPool pool(codepage);
  std::vector<std::pair<std::wstring, Bytes>> streams;
  for (const std::wstring& name : base.table_names) {
    Bytes rows;
    problem = DiffTable(base.tables[name], modified.tables[name], &pool, &rows);
    if (problem.code) return problem;
    if (rows.size()) streams.emplace_back(EncodedStreamName(name), rows);
  }

  const Table& bp = base.tables[L"Property"];
  const Table& mp = modified.tables[L"Property"];
  std::wstring upgrade = PropertyValue(mp, L"UpgradeCode");
  if (upgrade.empty()) upgrade = PropertyValue(bp, L"UpgradeCode");
  std::wstring base_code = PropertyValue(bp, L"ProductCode"), mod_code = PropertyValue(mp, L"ProductCode");
  if (base_code.empty() || mod_code.empty() || upgrade.empty())
    return Fail(kRefused, L"table Property: ProductCode and UpgradeCode are needed to describe the transform, "
                          L"and the installer ignores a transform without them");
  std::wstring revision = base_code + PropertyValue(bp, L"ProductVersion") + L";" + mod_code +
                          PropertyValue(mp, L"ProductVersion") + L";" + upgrade;

  streams.emplace_back(EncodedStreamName(L"_StringPool"), pool.Pool());
  streams.emplace_back(EncodedStreamName(L"_StringData"), pool.Data());
  streams.emplace_back(L"\005SummaryInformation",
                       SummaryStream(Utf8(SummaryTemplate(base.db.get())), Utf8(SummaryTemplate(modified.db.get())),
                                     Utf8(revision), validation));
  if (!WriteTransform(out_path, streams)) return Fail(kFailed, std::wstring(L"cannot write ") + out_path);
  return {};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t* end = nullptr;
  const unsigned long validation = argc == 5 ? wcstoul(argv[4], &end, 0) : 0;
  if ((argc != 4 && argc != 5) || (argc == 5 && (*end || !*argv[4] || validation > 0xFFFF))) {
    fputs("usage: msitransform.exe base.msi modified.msi out.mst [validation]\n"
          "Writes the transform that turns base.msi into modified.msi: row inserts, updates and\n"
          "deletions in tables that both packages have with the same columns. validation: the\n"
          "transform's validation conditions (MSITRANSFORM_VALIDATE_* flags, up to 0xFFFF).\n",
          stderr);
    return kFailed;
  }
  Problem problem = Generate(argv[1], argv[2], argv[3], uint32_t(validation));
  if (problem.code) fprintf(stderr, "msitransform: %s\n", problem.message.c_str());
  return problem.code;
}
