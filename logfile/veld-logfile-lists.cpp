// veld-logfile-lists: the tailed-file list and the watched-directory list.
//
// Both only grow.  A node is complete before it is linked, the link is
// stored with release and walked with acquire, so the tailer walks the file
// list while the directory scanner appends to it, without a lock.  There is
// one appender at a time: the configuration reader before the workers start,
// the directory scanner afterwards.  Nodes are never freed; a retired one
// (a scanned file that is gone) is given by the scanner to the next file it
// finds, so the list stays as long as the most files that existed at once.

#include <mutex>
#include <new>
#include <vector>

#include "veld-logfile.h"

std::atomic<P_LOGFILE_LIST> LogFileList{nullptr};      // config reader, then the scanner
std::atomic<P_LOGDIR_LIST> LogDirectoryList{nullptr};  // config reader only

namespace {

// Nodes the tailer has retired and the scanner has not taken back yet.
std::mutex g_retired_lock;
std::vector<P_LOGFILE_LIST> g_retired;  // under g_retired_lock

// Walks from `l` to the tail of its list.  `l->tail_hint`, when set, is a node
// that an earlier walk from `l` reached, so starting there ends at the same
// tail; appending therefore costs the nodes added since, not the whole list.
template <typename Node>
Node *TailFrom(Node *l) {
  Node *cur = l->tail_hint.load(std::memory_order_relaxed);
  if (cur == nullptr) cur = l;
  for (Node *n = cur->next.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    cur = n;
  return cur;
}

template <typename Node>
int AppendAfterTail(Node *l, Node *p) {
  if (l == nullptr) return 0;
  Node *tail = TailFrom(l);
  tail->next.store(p, std::memory_order_release);
  l->tail_hint.store(p, std::memory_order_relaxed);
  return 1;
}

// The node becomes the head of an empty list, or goes behind its tail.
template <typename Node>
bool AppendToList(std::atomic<Node *> &head, Node *node) {
  if (node == nullptr) return false;
  Node *h = head.load(std::memory_order_acquire);
  if (h == nullptr)
    head.store(node, std::memory_order_release);
  else
    AppendAfterTail(h, node);
  return true;
}

}  // namespace

P_LOGFILE_LIST LogFileNew(char *file) {
  P_LOGFILE_LIST node = new (std::nothrow) LOGFILE_LIST{};
  if (node == nullptr) return nullptr;
  node->log_file = file;
  return node;
}

int LogFileAdd(P_LOGFILE_LIST l, P_LOGFILE_LIST p) { return AppendAfterTail(l, p); }

P_LOGDIR_LIST LogDirectoryNew(char *dir) {
  P_LOGDIR_LIST node = new (std::nothrow) LOGDIR_LIST{};
  if (node == nullptr) return nullptr;
  node->log_dir = dir;
  return node;
}

int LogDirectoryAdd(P_LOGDIR_LIST l, P_LOGDIR_LIST p) { return AppendAfterTail(l, p); }

bool LogFileListAppend(P_LOGFILE_LIST node) { return AppendToList(LogFileList, node); }

bool LogDirectoryListAppend(P_LOGDIR_LIST node) { return AppendToList(LogDirectoryList, node); }

void LogFileRetire(P_LOGFILE_LIST node) {
  if (node == nullptr) return;
  node->retired.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(g_retired_lock);
  g_retired.push_back(node);
}

P_LOGFILE_LIST LogFileTakeRetired() {
  std::lock_guard<std::mutex> lock(g_retired_lock);
  if (g_retired.empty()) return nullptr;
  P_LOGFILE_LIST node = g_retired.back();
  g_retired.pop_back();
  return node;
}
