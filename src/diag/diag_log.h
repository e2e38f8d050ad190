// The diagnostic log: one timestamped record appended to "moltrav.log" in
// the temp folder (TMPDIR followed by a backslash when set and not empty,
// else the user's temp folder). Written only when library loading fails.
//
// A record is "\n", the local time as "Wed Mar 06 14:05:09 2013\n", ":: "
// and the message, with no line end after it. The file is opened (created
// when absent, never truncated) for each record, shared for writing only,
// appended to in two writes and closed again. When the time cannot be
// formed the record is the message alone; when the folder does not exist,
// the path would not fit 260 bytes or the file cannot be opened, the record
// is dropped silently. The platform calls may change the last error.
#pragma once

void DiagLog(const char* message);

// Formats the message with a bound of 1023 characters (%s, %d) and logs it;
// a message that would not fit is not logged rather than logged cut.
void DiagLogFormat(const char* format, ...);
