# What every library and executable of the tool itself is built with: no
# exceptions, no run-time type information, warnings as the first review;
# and the instruction set a toolchain file names for the tool.
function(bodycut_tool_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -fno-exceptions -fno-rtti ${BODYCUT_TOOL_ARCH_OPTIONS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

include(CheckIPOSupported)
check_ipo_supported(RESULT BODYCUT_IPO_SUPPORTED OUTPUT BODYCUT_IPO_OUTPUT LANGUAGES CXX)
if(BODYCUT_IPO_SUPPORTED AND NOT WIN32)
  # The per-byte read of the header scan crosses from the logic into the
  # platform layer; link-time optimisation lets it inline.
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE ON)
endif()

# A build of everything, tests included, with AddressSanitizer and
# UndefinedBehaviorSanitizer: any finding stops the run that made it.
option(BODYCUT_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(BODYCUT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE OFF)
endif()

# A build with ThreadSanitizer, for the runs with several workers.
option(BODYCUT_TSAN "Build with ThreadSanitizer" OFF)
if(BODYCUT_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE OFF)
endif()

# Fuzz targets for libFuzzer (clang): everything they reach is instrumented.
option(BODYCUT_FUZZ "Build the fuzz targets as libFuzzer executables (clang)" OFF)
if(BODYCUT_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE OFF)
endif()
