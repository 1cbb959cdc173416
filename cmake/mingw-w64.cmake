# Cross-compiling for 64-bit Windows from Debian with mingw-w64 (the -posix thread model,
# which std::thread and std::mutex need). Used both for the Qt build and for the tool.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELDIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELDIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDIX_MINGW_TRIPLE}-windres)

# Headers and libraries come from the mingw sysroot only; programs (moc, rcc, uic) from
# the host. Packages may also come from a prefix outside the sysroot (the cross-built Qt,
# added with CMAKE_PREFIX_PATH) and from the host Qt for its tools (QT_HOST_PATH).
set(CMAKE_FIND_ROOT_PATH /usr/${VELDIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
