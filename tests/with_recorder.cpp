// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// Runs the built pcmtap with the recording library preloaded into it alone:
// the programs the tests put around it (prlimit, sh, env) never load the
// library, which is not of their architecture where pcmtap runs under
// qemu-user. Built for pcmtap's architecture, it opens no file, so that it
// also runs under `ulimit -n 4`.
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int /*argc*/, char** argv) {
  // Before what is preloaded already, such as stdbuf's library.
  std::string preload = PCMTAP_RECORDER;
  if (const char* others = std::getenv("LD_PRELOAD"))
    preload = preload + " " + others;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  argv[0] = const_cast<char*>(PCMTAP_BINARY);
  execv(PCMTAP_BINARY, argv);
  return 127;
}
