# What both Windows toolchains share: the posix-thread compilers (std::thread
# needs them), the resource compiler, and nothing of the build machine's own
# libraries or headers.
set(CMAKE_C_COMPILER ${PELLOMATIC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELLOMATIC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELLOMATIC_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PELLOMATIC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows 7 and later: the calls the links make are all there.
# The C runtime's POSIX names where it has them (localtime_r).
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601 _POSIX_THREAD_SAFE_FUNCTIONS)
# Statically linked: no DLL beyond Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
