# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Cross-builds pcmtap for 64-bit Windows with Debian's MinGW-w64 (the posix
# thread model, g++-mingw-w64-x86-64-posix). AO_PREFIX names the folder
# where libao for Windows is installed, and PKG_CONFIG_LIBDIR must name its
# lib/pkgconfig; scripts/windows builds it there.
# Programs built for Windows run here under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${AO_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# Debian's hardening flags are for ELF.
set(PCMTAP_HARDENING OFF CACHE BOOL "")
