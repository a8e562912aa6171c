// veld-logfile-position: one line of the position file, written and read
// (veld-logfile-position-line.cpp); the file as a whole is
// veld-logfile-position.cpp.
//
// A line is "<path>=<offset>,<timestamp>" and then, comma-separated, every
// file of the node whose lines are not all sent, oldest first, and last the
// file its path leads to, each as
//   <device>:<inode>:<birth>:<owner>:<offset>:<size>:<fingerprint>:<head>
// <birth> is "<seconds>.<nanoseconds>", or "-" where the file system keeps
// none; <fingerprint> (the bytes before the offset) and <head> (the first
// bytes) are "<length>.<digest in 16 hex digits>", or "-" for none.  The
// <offset> after the "=" is that of the first file listed, so a reader of
// "path=offset,timestamp" lines gets the point from which lines are unsent.
// Older agents wrote "<path>=<offset>,<timestamp>" and
// "<path>=<offset>,<timestamp>,<device>,<inode>,<bytes in hex>"; both load.
#ifndef VELD_LOGFILE_POSITION_H
#define VELD_LOGFILE_POSITION_H

#include <string>
#include <string_view>

#include "veld-logfile.h"

namespace logfile {

// Appends the node's line, its line end included.
void FormatPosition(P_LOGFILE_LIST node, std::string *out);

// A line taken apart: the path is everything before the last "=" (trimmed
// of blanks and quotes), so a path holding "=" survives.  False for a line
// that is no position line.
struct PositionLine {
  std::string_view path;
  std::string_view fields;  // what follows the "="
};
bool SplitPosition(std::string_view line, PositionLine *out);
// Gives the node the offset, timestamp and files of `fields`.
void LoadPosition(P_LOGFILE_LIST node, std::string_view fields);

}  // namespace logfile

#endif
