# The release build: a 32-bit Windows GUI program that runs on every Windows.
set(QM_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
