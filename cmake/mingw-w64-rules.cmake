# Loaded after CMake's own Windows-GNU rules, which name DLLs lib*.dll.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
