// veld-logfile-look: finding what a tailed path leads to, once per pass, and
// whether it may be read (veld-logfile-look.cpp).
#ifndef VELD_LOGFILE_LOOK_H
#define VELD_LOGFILE_LOOK_H

#include <sys/stat.h>

#include <string_view>

#include "veld-logfile-identity.h"
#include "veld-logfile-path.h"
#include "veld-logfile.h"
#include "veld-owners.h"

namespace logfile {

struct FileState;

// What the path of a node leads to, once it was found fit to read.
struct Target {
  int dir = -1;                // the directory holding the file
  const char *name = nullptr;  // the file's name in it
  struct stat st {};
  FileId id;  // of the file: device, inode, birth, owner
  // The way to `dir` and its status: a sibling found in `dir` may be
  // touched when MayTouch(way, dir_st, its status) holds.
  Way way;
  struct stat dir_st {};
  int backup_dir = -1;  // where its backups go: the path's own directory
  // The node's path, whose last part names the file in `backup_dir`: what
  // rotation entries name.
  const char *backup_name = nullptr;
  Resolution via;  // holds `dir` and `name` when the path's last part is a symlink
};

// Directories are reached afresh once per look generation: once per pass.
void NewLookGeneration();
// Finds the file behind the node's path; false, having said why once,
// when it is missing or may not be read.
bool FindTarget(P_LOGFILE_LIST node, FileState *fs, Target *t);
// Opens the target; it must still be the file that was looked at (ESTALE).
veld::UniqueFd OpenTarget(const Target &t, int mode);
// The directory `path`, reached in this look generation (held by the
// lookups' cache), with its status in *st; -1 when it cannot be reached or
// may not be.
int CheckedDirectory(std::string_view path, struct stat *st);
// The directory the node's path names, reached in this look generation
// (held by the lookups' cache); -1 when it cannot be reached or may not be.
int DirectoryOf(P_LOGFILE_LIST node);
// Says that the node's file could not be opened for reading.
void SayOpenFailed(P_LOGFILE_LIST node);
// Whether the text after the last "." of `path` is on IgnoreList.
bool IgnoredExtension(const char *path);

}  // namespace logfile

#endif
