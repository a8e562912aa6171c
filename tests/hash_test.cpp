// The keyed string table: hash values other modules' data depend on, the
// count/serial/value bookkeeping across repeated adds, ownership (checked by
// the sanitizer build for leaks and double frees), bucket order, and the
// exact dump and statistics texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "veld-hash.h"

namespace {

constexpr uint32_t kBuckets = 40009;

// Owns a table for one test.
struct Table {
  explicit Table(int copykeys = 1, int copyvalues = 1)
      : ht(hashtable_alloc(copykeys, copyvalues)) {}
  ~Table() { hashtable_free(ht); }
  HashTable *ht;
};

// Finds `n` distinct keys of the form "k<number>" that share one bucket.
std::vector<std::string> KeysInOneBucket(size_t n) {
  std::map<uint32_t, std::vector<std::string>> byBucket;
  for (int i = 0;; ++i) {
    std::string key = "k";
    key += std::to_string(i);
    auto &keys = byBucket[hashtable_hash(key.c_str()) % kBuckets];
    keys.push_back(key);
    if (keys.size() == n) return keys;
  }
}

std::string PrintToString(HashTable *ht) {
  testing::internal::CaptureStdout();
  hashtable_print(ht);
  return testing::internal::GetCapturedStdout();
}

std::string StatsToString(HashTable *ht) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  hashtable_printstats(f, ht);
  std::fclose(f);
  std::string out(buf, len);
  std::free(buf);
  return out;
}

std::string Hex(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

}  // namespace

// Check values: a wrong sign extension or shift shows in the third.
TEST(HashTable, HashMatchesCheckValuesAndBuckets) {
  EXPECT_EQ(hashtable_hash("a"), 0xE1u);
  EXPECT_EQ(hashtable_hash("abc"), 0x3831E3u);
  EXPECT_EQ(hashtable_hash("\xE9"), 0xFFFFFF69u);
  EXPECT_EQ(hashtable_hash(""), 0u);
  EXPECT_EQ(hashtable_hash("a") % kBuckets, 225u);
  EXPECT_EQ(hashtable_hash("abc") % kBuckets, 1959u);
  EXPECT_EQ(hashtable_hash("\xE9") % kBuckets, 995u);
  // Once the value is negative the right shift must copy the sign in (a
  // logical shift would give 0xFFFFB49E here).
  EXPECT_EQ(hashtable_hash("\xE9"
                           "a"),
            0x4B9Eu);
}

TEST(HashTable, NewTableIsEmpty) {
  Table t;
  ASSERT_NE(t.ht, nullptr);
  EXPECT_EQ(t.ht->tableSize, kBuckets);
  EXPECT_EQ(t.ht->next_serial, 1u);
  EXPECT_EQ(hashtable_count(t.ht), 0u);
  EXPECT_EQ(hashtable_lookup(t.ht, "a"), nullptr);
  EXPECT_EQ(hashtable_keycount(t.ht, "a"), 0u);
  EXPECT_EQ(hashtable_keyserial(t.ht, "a"), 0u);
  EXPECT_EQ(hashtable_keyvalue(t.ht, "a"), nullptr);
  const char **keys = hashtable_keys(t.ht, 1, 1);
  ASSERT_NE(keys, nullptr);
  EXPECT_EQ(keys[0], nullptr);
  std::free(keys);
  EXPECT_EQ(StatsToString(t.ht), "HashTable           " + Hex(t.ht) +
                                     "\nTable size:         40009\n"
                                     "Filled slots:       0 ( 0%)\n"
                                     "Maximum slot depth: 0\n");
}

// Repeated adds: the count grows, the serial of the first add stays, and the
// value follows the last add, a null value leaving none.
TEST(HashTable, RepeatedAddsKeepSerialAndFollowLastValue) {
  Table t;
  hashtable_addkeyvalue(t.ht, "first", "1");
  hashtable_addkeyvalue(t.ht, "Key", "one");
  hashtable_addkeyvalue(t.ht, "Key", "two");
  HASHNODE *n = hashtable_addkeyvalue(t.ht, "Key", "three");
  hashtable_addkeyvalue(t.ht, "key", "lower");  // case makes a different key
  EXPECT_EQ(hashtable_lookup(t.ht, "Key"), n);
  EXPECT_EQ(hashtable_keycount(t.ht, "Key"), 3u);
  EXPECT_EQ(hashtable_keyserial(t.ht, "first"), 1u);
  EXPECT_EQ(hashtable_keyserial(t.ht, "Key"), 2u);
  EXPECT_EQ(hashtable_keyserial(t.ht, "key"), 3u);
  EXPECT_STREQ(hashtable_keyvalue(t.ht, "Key"), "three");
  EXPECT_STREQ(hashtable_keyvalue(t.ht, "key"), "lower");
  EXPECT_EQ(hashtable_count(t.ht), 3u);
  EXPECT_EQ(t.ht->next_serial, 4u);

  EXPECT_EQ(hashtable_addkey(t.ht, "Key"), n);
  EXPECT_EQ(hashtable_keycount(t.ht, "Key"), 4u);
  EXPECT_EQ(hashtable_keyvalue(t.ht, "Key"), nullptr);
  hashtable_addkeyvalue(t.ht, "Key", "back");
  EXPECT_STREQ(hashtable_keyvalue(t.ht, "Key"), "back");
  EXPECT_EQ(hashtable_count(t.ht), 3u);
}

// With copied values a new key without a value reads back as "", but a later
// add without a value leaves none.
TEST(HashTable, NullValueRulesWithCopiedValues) {
  Table t(1, 1);
  hashtable_addkey(t.ht, "flag");
  EXPECT_STREQ(hashtable_keyvalue(t.ht, "flag"), "");
  hashtable_addkey(t.ht, "flag");
  EXPECT_EQ(hashtable_keyvalue(t.ht, "flag"), nullptr);

  std::string caller = "mutable";
  hashtable_addkeyvalue(t.ht, "copy", caller.c_str());
  caller[0] = 'X';
  EXPECT_STREQ(hashtable_keyvalue(t.ht, "copy"), "mutable");
}

// Handing over heap strings: the table keeps the very pointers and releases
// them; the sanitizer build reports a leak or double free here.
TEST(HashTable, TakesOverCallerStringsWithoutCopyFlags) {
  Table t(0, 0);
  char *key = strdup("owned");
  char *v1 = strdup("v1");
  hashtable_addkeyvalue(t.ht, key, v1);
  EXPECT_EQ(hashtable_lookup(t.ht, "owned")->key, key);
  EXPECT_EQ(hashtable_keyvalue(t.ht, "owned"), v1);
  // An add of an existing key does not store the key passed in: the caller
  // keeps that one.
  std::string again = "owned";
  char *v2 = strdup("v2");
  hashtable_addkeyvalue(t.ht, again.c_str(), v2);
  EXPECT_EQ(hashtable_keyvalue(t.ht, "owned"), v2);
  EXPECT_EQ(hashtable_lookup(t.ht, "owned")->key, key);
  hashtable_addkey(t.ht, strdup("novalue"));
  EXPECT_EQ(hashtable_keyvalue(t.ht, "novalue"), nullptr);
}

// Storing the value the node already holds must not release it first.
TEST(HashTable, ReaddingTheHeldValueIsSafe) {
  Table copied(1, 1);
  hashtable_addkeyvalue(copied.ht, "k", "same");
  hashtable_addkeyvalue(copied.ht, "k", hashtable_keyvalue(copied.ht, "k"));
  EXPECT_STREQ(hashtable_keyvalue(copied.ht, "k"), "same");

  Table taken(1, 0);
  hashtable_addkeyvalue(taken.ht, "k", strdup("held"));
  hashtable_addkeyvalue(taken.ht, "k", hashtable_keyvalue(taken.ht, "k"));
  EXPECT_STREQ(hashtable_keyvalue(taken.ht, "k"), "held");
}

// Within a bucket the newest key comes first, in the chain and in an
// unsorted listing; a sorted listing is in byte order.
TEST(HashTable, BucketOrderAndKeyListing) {
  const std::vector<std::string> pair = KeysInOneBucket(2);
  Table t;
  hashtable_addkeyvalue(t.ht, "zeta", "z");
  hashtable_addkeyvalue(t.ht, pair[0].c_str(), "older");
  hashtable_addkeyvalue(t.ht, pair[1].c_str(), "newer");
  hashtable_addkeyvalue(t.ht, "", "empty");
  hashtable_addkeyvalue(t.ht, "Zeta", "Z");

  const uint32_t bucket = hashtable_hash(pair[0].c_str()) % kBuckets;
  ASSERT_NE(t.ht->table[bucket], nullptr);
  EXPECT_EQ(t.ht->table[bucket]->key, pair[1]);
  ASSERT_NE(t.ht->table[bucket]->spNext, nullptr);
  EXPECT_EQ(t.ht->table[bucket]->spNext->key, pair[0]);
  EXPECT_STREQ(t.ht->table[0]->key, "");
  EXPECT_STREQ(hashtable_keyvalue(t.ht, ""), "empty");

  const char **unsorted = hashtable_keys(t.ht, 0, 0);
  std::vector<std::string> walk;
  for (const char **k = unsorted; *k != nullptr; ++k) walk.push_back(*k);
  std::free(unsorted);
  ASSERT_EQ(walk.size(), 5u);
  EXPECT_EQ(walk[0], "");  // bucket 0 comes first
  auto newer = std::find(walk.begin(), walk.end(), pair[1]);
  auto older = std::find(walk.begin(), walk.end(), pair[0]);
  EXPECT_EQ(older - newer, 1);

  const char **sorted = hashtable_keys(t.ht, 1, 1);
  std::vector<std::string> inOrder;
  for (const char **k = sorted; *k != nullptr; ++k) {
    inOrder.push_back(*k);
    EXPECT_NE(hashtable_lookup(t.ht, *k)->key, *k) << "alloc must copy";
    std::free(const_cast<char *>(*k));
  }
  std::free(sorted);
  std::vector<std::string> expected = {"", pair[0], pair[1], "Zeta", "zeta"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(inOrder, expected);
}

// The dump: every bucket, "%3d" index, "%17s (%d) " entries, and a bucket of
// five wrapped after four with a newline and twenty blanks.
TEST(HashTable, DumpFormatAndRowWrapping) {
  Table t;
  hashtable_addkey(t.ht, "a");
  hashtable_addkey(t.ht, "a");
  hashtable_addkey(t.ht, "");
  const std::vector<std::string> five = KeysInOneBucket(5);
  for (const auto &k : five) hashtable_addkey(t.ht, k.c_str());
  const std::string out = PrintToString(t.ht);

  EXPECT_EQ(out.rfind("\n INFO >> i =   0 :                   (1) \n INFO >> i =   1 : ", 0), 0u);
  EXPECT_NE(out.find("\n INFO >> i = 225 :                 a (2) \n INFO >> i = 226 : "),
            std::string::npos);
  EXPECT_EQ(out.size() - out.rfind("\n INFO >> i = 40008 : \n"), 23u);

  const uint32_t bucket = hashtable_hash(five[0].c_str()) % kBuckets;
  auto entry = [](const std::string &k) { return std::string(17 - k.size(), ' ') + k + " (1) "; };
  // Newest first: the chain holds the keys in reverse order of adding.
  const std::string row = "\n INFO >> i = " + std::to_string(bucket) + " : " + entry(five[4]) +
                          entry(five[3]) + entry(five[2]) + entry(five[1]) +
                          "\n                    " + entry(five[0]) +
                          "\n INFO >> i = " + std::to_string(bucket + 1) + " : ";
  EXPECT_NE(out.find(row), std::string::npos) << "bucket " << bucket;

  // One header per bucket, nothing else between them.
  size_t headers = 0;
  for (size_t p = out.find(" INFO >> "); p != std::string::npos; p = out.find(" INFO >> ", p + 1))
    ++headers;
  EXPECT_EQ(headers, kBuckets);
}

// One filled bucket out of 40009 is 0 per cent, right-aligned in two columns.
TEST(HashTable, StatsWithOneFilledSlot) {
  Table t;
  const std::vector<std::string> three = KeysInOneBucket(3);
  for (const auto &k : three) hashtable_addkey(t.ht, k.c_str());
  EXPECT_EQ(StatsToString(t.ht), "HashTable           " + Hex(t.ht) +
                                     "\nTable size:         40009\n"
                                     "Filled slots:       1 ( 0%)\n"
                                     "Maximum slot depth: 3\n");
  // With a share above one per cent the same line carries the cut share.
  Table many;
  for (int i = 0; i < 2000; ++i) {
    std::string key = "m";
    key += std::to_string(i);
    hashtable_addkey(many.ht, key.c_str());
  }
  uint32_t filled = 0;
  for (uint32_t i = 0; i < kBuckets; ++i) filled += many.ht->table[i] != nullptr;
  char line[64];
  std::snprintf(line, sizeof line, "Filled slots:       %u (%2u%%)\n", filled,
                filled * 100 / kBuckets);
  EXPECT_NE(StatsToString(many.ht).find(line), std::string::npos);
}

// A pointer that is not a live table stops the process with the standard
// assertion message, even in a release build.
TEST(HashTableDeathTest, RejectsAPointerThatIsNotALiveTable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Table t;
  HashTable bad = *t.ht;
  bad.magic = 0x12345678;
  EXPECT_DEATH(
      hashtable_count(&bad),
      "veld-hash:[0-9]+: hashtable_count: Assertion `\\(ht->magic == 0xdead1234\\)' failed");
  EXPECT_DEATH(hashtable_lookup(&bad, "a"), "hashtable_lookup: Assertion `\\(ht->magic == ");
  HashTable empty = *t.ht;
  empty.tableSize = 0;
  EXPECT_DEATH(hashtable_addkey(&empty, "a"),
               "hashtable_addkey: Assertion `ht->tableSize>0' failed");
}
