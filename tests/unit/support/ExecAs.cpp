#include "support/ExecAs.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

extern char** environ;

void execAs(char* const argv[], int uid) {
  const int program = open(argv[0], O_PATH | O_CLOEXEC);
  if (uid >= 0 &&
      (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) {
    _exit(120);
  }
  if (program >= 0) execveat(program, "", argv, environ, AT_EMPTY_PATH);
  _exit(121);
}
