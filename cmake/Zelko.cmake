# Helpers shared by every component's CMakeLists.

# GoogleTest from the sources of Debian's googletest package, built with the current toolchain.
# The host build uses -fshort-wchar so that tests of kernel code see 16-bit WCHAR like the driver.
set(ZELKO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
function(zelko_add_gtest)
  if(TARGET gtest)
    return()
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${ZELKO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    if(NOT ZELKO_WINDOWS)
      target_compile_options(${t} PRIVATE -fshort-wchar -w)
    else()
      target_compile_options(${t} PRIVATE -w)
    endif()
  endforeach()
endfunction()

# Flags for code that runs inside the host kernel (driver sources, host kernel, their tests):
# 16-bit wchar_t as on Windows, C++17 kernel subset.
function(zelko_kernel_flags target)
  target_compile_options(${target} PRIVATE -fshort-wchar -fno-exceptions -fno-rtti)
  target_compile_features(${target} PRIVATE cxx_std_17)
endfunction()

# Test code inside the host kernel: 16-bit wchar_t, exceptions allowed (gtest uses them).
function(zelko_kernel_test_flags target)
  target_compile_options(${target} PRIVATE -fshort-wchar)
endfunction()
