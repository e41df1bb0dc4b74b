# find_package(tarnwick CONFIG PATHS <this folder>) makes tarnwick_footprint() available.
include("${CMAKE_CURRENT_LIST_DIR}/tarnwick.cmake")
set(tarnwick_FOUND TRUE)
