# Cross-compiling the driver into a UEFI image: clang 19 for the Microsoft x64
# ABI (x86_64-unknown-windows; the uefi triple does not work with clang 19),
# linked by lld-link 19 in Firmware/CMakeLists.txt. Nothing of the host's C or
# C++ library is used, so the compiler checks build static libraries only.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# CMake passes CMAKE_CXX_COMPILER_TARGET only to compilers it treats as GNU
# style; clang for a Windows target reports itself as simulating MSVC, so
# the target goes into the flags too (also for CMake's compiler checks).
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-unknown-windows")
