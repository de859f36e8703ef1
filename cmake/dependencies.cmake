find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
