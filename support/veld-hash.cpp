// veld-hash: the string-keyed table behind the settings store.
//
// Separate chaining in a fixed, prime number of buckets; a new key goes to
// the head of its bucket and is never removed singly, so a node's address is
// stable for the table's life.  The table owns every key and value its nodes
// hold: strings it copied itself and heap strings (malloc/strdup) a caller
// handed over with the copy flags off.  All of them are released with free().
//
// Every operation except hashtable_alloc first checks that it was given a
// live table.  The checks stay on in release builds: a stray pointer reaching
// this module is a programming error that must stop the process at once
// rather than let it walk foreign memory.

#include "veld-hash.h"
#include "veld-owners.h"

// The standard failure reporter is declared only while NDEBUG is unset; the
// checks below use it in every build.
#ifdef NDEBUG
#undef NDEBUG
#include <assert.h>
#define NDEBUG
#else
#include <assert.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Marks a live table; cleared by hashtable_free so a stale pointer trips the
// check instead of reading released memory as a table.
constexpr uint32_t kTableMagic = 0xdead1234;

// A prime, so keys that differ in a few trailing bytes spread over buckets.
constexpr uint32_t kTableSize = 40009;

// The source name the assertion message carries.
constexpr const char *kSourceName = "veld-hash";

// Nodes per dump row before the row is continued on the next line.
constexpr unsigned kNodesPerRow = 4;

// Unlike assert(), not compiled out by NDEBUG: the message is the standard
// one, naming this source, the operation and the failed expression.
#define VELD_HASH_CHECK(ht)                                                                        \
  do {                                                                                             \
    if (!((ht)->magic == kTableMagic))                                                             \
      __assert_fail("(ht->magic == 0xdead1234)", kSourceName, __LINE__, __func__);                 \
    if (!((ht)->tableSize > 0)) __assert_fail("ht->tableSize>0", kSourceName, __LINE__, __func__); \
  } while (0)

char *CopyString(const char *s) { return strdup(s); }

// Byte order, case-sensitive: strcmp compares as unsigned char.
bool strcompare(const char *a, const char *b) { return std::strcmp(a, b) < 0; }

uint32_t BucketOf(const HashTable *ht, const char *key) {
  return hashtable_hash(key) % ht->tableSize;
}

HASHNODE *FindNode(const HashTable *ht, const char *key) {
  for (HASHNODE *n = ht->table[BucketOf(ht, key)]; n != nullptr; n = n->spNext)
    if (std::strcmp(n->key, key) == 0) return n;
  return nullptr;
}

}  // namespace

// Each byte is taken as signed and sign-extended with bit 7 flipped, and the
// top byte of the running value is folded back in with its sign copied.  The
// arithmetic runs on unsigned words so no step depends on signed overflow;
// the bits are those of the signed formulation.
uint32_t hashtable_hash(const char *key) {
  uint32_t h = 0;
  for (const char *p = key; *p != '\0'; ++p) {
    const uint32_t widened =
        static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    const uint32_t top = (h >> 24) | ((h & 0x80000000u) ? 0xFFFFFF00u : 0u);
    h = (h << 7) ^ (widened ^ 0x80u) ^ top;
  }
  return h;
}

HashTable *hashtable_alloc(int copykeys, int copyvalues) {
  veld::MallocPtr<HashTable> ht(static_cast<HashTable *>(std::calloc(1, sizeof(HashTable))));
  if (!ht) return nullptr;
  ht->table = static_cast<HASHNODE **>(std::calloc(kTableSize, sizeof(HASHNODE *)));
  if (ht->table == nullptr) return nullptr;
  ht->magic = kTableMagic;
  ht->tableSize = kTableSize;
  ht->next_serial = 1;
  ht->copykeys = copykeys;
  ht->copyvalues = copyvalues;
  return ht.release();
}

void hashtable_free(HashTable *ht) {
  VELD_HASH_CHECK(ht);
  for (uint32_t i = 0; i < ht->tableSize; ++i) {
    HASHNODE *n = ht->table[i];
    while (n != nullptr) {
      HASHNODE *next = n->spNext;
      std::free(const_cast<char *>(n->key));
      std::free(const_cast<char *>(n->stringvalue));
      std::free(n);
      n = next;
    }
    ht->table[i] = nullptr;
  }
  std::free(ht->table);
  ht->magic = 0;
  std::free(ht);
}

HASHNODE *hashtable_lookup(HashTable *ht, const char *key) {
  VELD_HASH_CHECK(ht);
  return FindNode(ht, key);
}

unsigned int hashtable_keycount(HashTable *ht, const char *key) {
  VELD_HASH_CHECK(ht);
  const HASHNODE *n = FindNode(ht, key);
  return n ? n->count : 0;
}

const char *hashtable_keyvalue(HashTable *ht, const char *key) {
  VELD_HASH_CHECK(ht);
  const HASHNODE *n = FindNode(ht, key);
  return n ? n->stringvalue : nullptr;
}

unsigned int hashtable_keyserial(HashTable *ht, const char *key) {
  VELD_HASH_CHECK(ht);
  const HASHNODE *n = FindNode(ht, key);
  return n ? n->serial : 0;
}

HASHNODE *hashtable_addkeyvalue(HashTable *ht, const char *key, const char *value) {
  VELD_HASH_CHECK(ht);
  if (HASHNODE *n = FindNode(ht, key)) {
    n->count++;
    // The replacement is settled before the old value goes: a caller may
    // pass the very string the node holds (read back with
    // hashtable_keyvalue), which must be neither copied after release nor
    // released and kept.
    const char *replacement = nullptr;
    if (value != nullptr) replacement = ht->copyvalues ? CopyString(value) : value;
    if (n->stringvalue != replacement) std::free(const_cast<char *>(n->stringvalue));
    n->stringvalue = replacement;
    return n;
  }

  veld::MallocPtr<HASHNODE> node(static_cast<HASHNODE *>(std::calloc(1, sizeof(HASHNODE))));
  if (!node) return nullptr;
  node->key = ht->copykeys ? CopyString(key) : key;
  node->count = 1;
  if (ht->copyvalues)
    node->stringvalue = CopyString(value != nullptr ? value : "");
  else
    node->stringvalue = value;
  node->serial = ht->next_serial++;

  HASHNODE **head = &ht->table[BucketOf(ht, key)];
  node->spNext = *head;
  *head = node.release();
  return *head;
}

HASHNODE *hashtable_addkey(HashTable *ht, const char *key) {
  VELD_HASH_CHECK(ht);
  return hashtable_addkeyvalue(ht, key, nullptr);
}

unsigned int hashtable_count(HashTable *ht) {
  VELD_HASH_CHECK(ht);
  unsigned int count = 0;
  for (uint32_t i = 0; i < ht->tableSize; ++i)
    for (const HASHNODE *n = ht->table[i]; n != nullptr; n = n->spNext) ++count;
  return count;
}

const char **hashtable_keys(HashTable *ht, int sorted, int alloc) {
  VELD_HASH_CHECK(ht);
  const unsigned int count = hashtable_count(ht);
  // One spare entry, left null, ends the list.
  auto **keys = static_cast<const char **>(std::calloc(count + 1, sizeof(char *)));
  if (keys == nullptr) return nullptr;
  unsigned int filled = 0;
  for (uint32_t i = 0; i < ht->tableSize; ++i)
    for (const HASHNODE *n = ht->table[i]; n != nullptr; n = n->spNext)
      keys[filled++] = alloc ? CopyString(n->key) : n->key;
  if (sorted) std::sort(keys, keys + filled, strcompare);
  return keys;
}

void hashtable_print(HashTable *ht) {
  VELD_HASH_CHECK(ht);
  for (uint32_t i = 0; i < ht->tableSize; ++i) {
    std::printf("\n INFO >> i = %3d : ", static_cast<int>(i));
    unsigned printed = 0;
    for (const HASHNODE *n = ht->table[i]; n != nullptr; n = n->spNext) {
      if (printed > 0 && printed % kNodesPerRow == 0) std::fputs("\n                    ", stdout);
      std::printf("%17s (%d) ", n->key, static_cast<int>(n->count));
      ++printed;
    }
  }
  std::fputc('\n', stdout);
}

void hashtable_printstats(FILE *f, HashTable *ht) {
  VELD_HASH_CHECK(ht);
  uint32_t filled = 0;
  uint32_t maxdepth = 0;
  for (uint32_t i = 0; i < ht->tableSize; ++i) {
    uint32_t depth = 0;
    for (const HASHNODE *n = ht->table[i]; n != nullptr; n = n->spNext) ++depth;
    if (depth > 0) ++filled;
    maxdepth = std::max(maxdepth, depth);
  }
  const auto share = static_cast<int>(uint64_t{100} * filled / ht->tableSize);
  std::fprintf(f, "HashTable           %lx\n",
               static_cast<unsigned long>(reinterpret_cast<uintptr_t>(ht)));
  std::fprintf(f, "Table size:         %d\n", static_cast<int>(ht->tableSize));
  std::fprintf(f, "Filled slots:       %d (%2d%%)\n", static_cast<int>(filled), share);
  std::fprintf(f, "Maximum slot depth: %d\n", static_cast<int>(maxdepth));
}
