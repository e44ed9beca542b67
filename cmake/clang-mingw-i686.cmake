# The 32-bit release build with clang and lld (see clang-mingw.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTA_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
