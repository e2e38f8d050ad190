// MsiHandle: the owner of one MSIHANDLE, closed with MsiCloseHandle when the
// owner goes. Empty (0) unless given a handle; not copyable. out() is the
// slot a function that makes a handle writes into; a handle the owner held
// before is closed first.
#pragma once

#include <windows.h>
#include <msi.h>

class MsiHandle {
 public:
  explicit MsiHandle(MSIHANDLE h = 0) : h_(h) {}
  ~MsiHandle() { Close(); }
  MsiHandle(const MsiHandle&) = delete;
  MsiHandle& operator=(const MsiHandle&) = delete;

  MSIHANDLE get() const { return h_; }
  MSIHANDLE* out() {
    Close();
    return &h_;
  }

 private:
  void Close() {
    if (h_ != 0) MsiCloseHandle(h_);
    h_ = 0;
  }
  MSIHANDLE h_;
};
