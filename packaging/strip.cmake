# SPDX-License-Identifier: GPL-2.0-or-later
# Run by CPack before it packs: strips the staged binary as Debian's
# dh_strip does, debugging symbols and the .comment and .note sections.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/pcmtap")
foreach(binary ${binaries})
  execute_process(
    COMMAND strip --remove-section=.comment --remove-section=.note ${binary}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
