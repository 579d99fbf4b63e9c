// The least a CGI program can do: answer with the content-type header and an empty
// page. Its whole-process time is the floor that bench/run.sh measures velloc
// against; it is linked statically, so no program can start and answer faster.
#include <unistd.h>

int main() {
  static const char kHeader[] = "Content-type: text/html\n\n";
  return write(STDOUT_FILENO, kHeader, sizeof kHeader - 1) < 0 ? 1 : 0;
}
