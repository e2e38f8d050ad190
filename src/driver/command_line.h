// The program's command line: splitting it into arguments, and reading the
// program's own options out of them.
//
// Options (case-sensitive, tried in this order, the first match handles the
// argument): an argument containing "/lang=" chooses the installer language
// when the value is accepted; "/v\"..." and "/v..." pass their payload on
// between blanks; "/s" is silent mode; arguments containing
// "/INSTALLDIRPUBZLP=" or "/INSTALLDIRVESKDB=" set the follow-up folders to
// the text after the argument's first "="; everything else is passed on
// followed by one blank, and one containing "ADDLOCAL=" is remembered.
//
// Capacities: PassThroughArgs and both folder texts hold 1023 characters.
// Nothing is ever cut to fit: an argument or an accumulated text that would
// exceed its capacity makes the operation report false, and the run must not
// use the texts then (it ends with ERROR_INVALID_COMMAND_LINE).
#pragma once

#include <cstddef>

#include "driver/install_options.h"

// The argument vector, in fixed storage sized for the longest command line
// the platform can hold (32767 characters, as bytes when they are
// single-byte; a longer ANSI line, which only double-byte characters make,
// is refused like any other line that does not fit). Splitting never
// lengthens the text: every byte of an argument comes from at least one byte
// of the command line, and each terminator from the blank that ended the
// argument or from the end of the line, so kMaxCommandLine + 1 bytes hold
// every argument. Each argument after element 0 takes at least one
// character and one separating blank.
struct ArgumentVector {
  static constexpr size_t kMaxCommandLine = 32767;
  static constexpr size_t kMaxArguments = 1 + kMaxCommandLine / 2;

  int count;                                   // element 0 included; 0 after a failed split
  const char* arguments[kMaxArguments + 1];    // into text; null after the last
  char text[kMaxCommandLine + 1];
};

// Which bytes begin a double-byte character in the process's ANSI code page
// (932, 936, 949 and 950 have such lead bytes; single-byte code pages none).
struct LeadByteTable {
  bool lead[256];
};

// Fills the table from the platform: IsDBCSLeadByte for every byte value.
void ReadLeadBytes(LeadByteTable* table);

// Splits a command line as the runtime library does before the entry routine
// runs, on the code page whose lead bytes the table gives (none when it is
// null):
//  - a lead byte and the byte after it are one character, copied together,
//    whatever that second byte is: a trail byte 0x5C is no backslash, 0x22 no
//    quote, 0x20 no blank. A lead byte that ends the line stays on its own;
//  - element 0 (the program's name) runs to the first blank or tab outside
//    double quotes; quotes in it only group and are dropped, and
//    backslashes in it are plain characters;
//  - the other elements are separated by runs of blanks and tabs outside
//    double quotes;
//  - 2n backslashes and a double quote give n backslashes, and the quote
//    turns quoting on or off; while quoting is on, two double quotes in a
//    row give one literal double quote and turn quoting off;
//  - 2n+1 backslashes and a double quote give n backslashes and a literal
//    double quote, and quoting does not change;
//  - backslashes not followed by a double quote stay as they are.
// Element 0 always exists (empty for an empty line). A null line counts as
// empty. Returns false, with count 0, for a line longer than
// kMaxCommandLine bytes.
bool SplitCommandLine(const char* commandLine, ArgumentVector* out, const LeadByteTable* leadBytes = nullptr);

// Reads arguments 1 to count-1 (element 0 is skipped) into options and
// passThrough, which hold their defaults (or earlier results) on entry.
// Repeated options: "/s" again changes nothing; the last accepted "/lang="
// value and the last folder value win. Returns false when an argument would
// take a text beyond its capacity; parsing stops at that argument, which
// leaves its text unchanged.
bool ParseCommandLine(int count, const char* const* arguments, InstallOptions* options,
                      PassThroughArgs* passThrough);

// The defaults of silent mode, only when options.silent is set: " /qn" when
// "/qn" occurs nowhere in passThrough (case-sensitive), then
// " ADDLOCAL=PubliczlpFeature,ToolsFeature" when no passed-through argument
// contained "ADDLOCAL=". Returns false when an addition does not fit; that
// addition is not made.
bool ApplySilentDefaults(const InstallOptions& options, PassThroughArgs* passThrough);

// The options of this run: the language set to DefaultInstallLanguage(), the
// rest to the defaults (silent off, no ADDLOCAL seen, both folders and
// passThrough empty), then GetCommandLineA() split on the process's ANSI code
// page and parsed. Returns false when the command line does not fit the
// program's texts.
bool ReadInstallOptions(InstallOptions* options, PassThroughArgs* passThrough);
