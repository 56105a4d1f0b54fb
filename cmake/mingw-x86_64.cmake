# The same sources as a 64-bit program: what the tests run under 64-bit Wine.
set(QM_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
