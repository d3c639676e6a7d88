# What a build needs from the machine, checked before anything compiles so that
# a missing piece stops the build with one sentence naming what to install,
# rather than with a compiler error deep inside a header.
include(CheckCXXSourceCompiles)

# Stops unless the compiler builds C++23 with std::expected, the newest piece
# of the standard library the sources use.
function(quorl_require_cxx23)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([[
    #include <expected>
    int main() { std::expected<int, int> value{0}; return *value; }
  ]] QUORL_HAVE_CXX23)
  if(NOT QUORL_HAVE_CXX23)
    message(FATAL_ERROR
      "quorl-sdk needs a C++23 compiler and standard library with std::expected, "
      "which ${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}) lacks: "
      "install g++ 12 or later (or clang 19 or later) and point CXX at it.")
  endif()
endfunction()

# Stops unless Boost (headers only: Asio and Beast) of at least MIN_VERSION is found.
function(quorl_require_boost min_version)
  find_package(Boost ${min_version} CONFIG QUIET COMPONENTS headers)
  if(NOT Boost_FOUND)
    message(FATAL_ERROR
      "quorl-sdk needs the Boost headers (Asio and Beast), version ${min_version} or later, "
      "which were not found: install them (Debian and Ubuntu: libboost${min_version}-dev or "
      "newer; Fedora: boost-devel; macOS: brew install boost) or set Boost_ROOT to their prefix.")
  endif()
endfunction()
