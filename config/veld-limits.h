// veld-limits: sizes that several modules share, written once.
#ifndef VELD_LIMITS_H
#define VELD_LIMITS_H

// Every fixed path buffer (the configuration path, the diagnostic log path,
// the kernel-file root) holds this many bytes.  Copies into one stop at
// VELD_PATH_COPY_MAX bytes, so the last byte is always a terminating NUL
// and the byte before it is spare.
#define VELD_PATH_MAX 1025
#define VELD_PATH_COPY_MAX (VELD_PATH_MAX - 2)

#endif
