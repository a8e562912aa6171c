// veld-linereader: a file read one line at a time through a caller-owned
// buffer.  Lines end at '\n' or '\r'; empty lines are skipped; a line longer
// than `maxline` bytes yields its first `maxline` bytes and the rest of it is
// dropped.  A line view stays valid until the next Next().
#ifndef VELD_LINEREADER_H
#define VELD_LINEREADER_H

#include <cstddef>
#include <string_view>

namespace veld {

class LineReader {
 public:
  // `cap` must exceed `maxline`.
  LineReader(char *buf, size_t cap, size_t maxline);
  ~LineReader();
  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;

  // Opens `path`, ending any file opened before; false when it cannot.
  bool OpenFile(const char *path);
  // True with the next line in *line; false at the end of the file or on a
  // read error.
  bool Next(std::string_view *line);

 private:
  bool Fill();

  char *buf_;
  size_t cap_, maxline_;
  size_t start_ = 0, end_ = 0;
  int fd_ = -1;
  bool eof_ = false;
  bool skipping_ = false;  // dropping the rest of an over-long line
};

}  // namespace veld

#endif
