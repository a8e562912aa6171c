// veld-logfile-format: what a record looks like, apart from how it travels.
// RecordFormat picks one of two, for log lines and metrics alike:
//   plain    "<stamp> VELDUnixLog: " + the line with its line end; every
//            byte's top bit cleared, NUL and 0x8A left out
//   rfc5424  "<PRI>1 <time> <host> veldagentd <pid> <msgid> - " + the line
//            without its line end; only NUL left out, nothing else changed
// A line longer than a record holds is cut into parts of at most kLinePart
// bytes (the line end counted), each a record of its own, in both formats.
// The transports frame rfc5424 messages: octet counting on a stream, one
// datagram each over UDP.  Chosen once by LogInit, before any worker runs;
// read-only afterwards.
#ifndef VELD_LOGFILE_FORMAT_H
#define VELD_LOGFILE_FORMAT_H

#include <cstddef>
#include <ctime>

#include "veld-logfile.h"

namespace logfile {

enum class RecordFormat { kPlain, kRfc5424 };

// Line bytes of one record: what a plain record with a ten-digit stamp
// leaves of kRecordMax (4093 - 24), kept for rfc5424 so that both formats
// cut a long line at the same bytes.
inline constexpr size_t kLinePart = 4069;
// Room for any head: PRI, version, time (20), host (255), app name, pid,
// MSGID and the separators of rfc5424 fit with room to spare.
inline constexpr size_t kHeadMax = LOG_RECORD_HEAD_MAX;

inline constexpr char kMsgIdLog[] = "VELDUnixLog";
inline constexpr char kMsgIdMetric[] = "VELDPerfMon";

// Sets the format from the RecordFormat and RecordFacility texts (null for
// the defaults) and takes the node name and process id the rfc5424 head
// carries.  False when a text is not understood; the default is used then.
bool FormatConfigure(const char *format, const char *facility);
RecordFormat CurrentFormat();

// The head of a record stamped `stamp` with tag or MSGID `msgid` into `out`
// (at least kHeadMax bytes); its length.
size_t FormatHead(char *out, time_t stamp, const char *msgid);

// What becomes of byte `b` of a line: true with *c the byte to put in the
// record, false when it is left out.  The line end itself is kept by the
// plain format only; either way it ends the record.
inline bool FormatTake(RecordFormat f, unsigned char b, char *c) {
  if (f == RecordFormat::kRfc5424) {
    *c = static_cast<char>(b);
    return b != '\0' && b != '\n';
  }
  // Top bit cleared; a NUL would end the record early, and 0x8A would become
  // a line feed inside it, which the collector takes for a record end.
  *c = static_cast<char>(b & 0x7f);
  return *c != '\0' && (*c != '\n' || b == '\n');
}

// The facility names RecordFacility takes, and their codes; -1 for none.
int FormatFacilityCode(const char *name);

}  // namespace logfile

#endif
