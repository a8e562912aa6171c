// veld-hash: a string-keyed table with separate chaining in a fixed number of
// buckets.  Besides its value every key carries how often it was added and the
// serial of its first appearance.  No lock: the agent's one table is written
// before the workers start and only read afterwards.
#ifndef VELD_HASH_H
#define VELD_HASH_H

#include <cstdint>
#include <cstdio>

typedef struct HashTableNode {
  const char *key;
  uint32_t count;
  uint32_t serial;
  const char *stringvalue;
  struct HashTableNode *spNext;
} HASHNODE;

typedef struct HashTable_ {
  uint32_t magic;
  uint32_t tableSize;
  HASHNODE **table;
  uint32_t next_serial;
  int copykeys;
  int copyvalues;
} HashTable;

HashTable *hashtable_alloc(int copykeys, int copyvalues);
void hashtable_free(HashTable *ht);
HASHNODE *hashtable_lookup(HashTable *ht, const char *key);
unsigned int hashtable_keycount(HashTable *ht, const char *key);
const char *hashtable_keyvalue(HashTable *ht, const char *key);
unsigned int hashtable_keyserial(HashTable *ht, const char *key);
HASHNODE *hashtable_addkeyvalue(HashTable *ht, const char *key, const char *value);
HASHNODE *hashtable_addkey(HashTable *ht, const char *key);
unsigned int hashtable_count(HashTable *ht);
const char **hashtable_keys(HashTable *ht, int sorted, int alloc);
void hashtable_print(HashTable *ht);
void hashtable_printstats(FILE *f, HashTable *ht);

// Exposed for the check values; the bucket is hash(key) % tableSize.
uint32_t hashtable_hash(const char *key);

#endif
