# Instrumentation for the fuzz build (CONV_TA_FUZZ): clang, AddressSanitizer
# and UndefinedBehaviorSanitizer in every target unless CONV_TA_SANITIZE says
# otherwise, and coverage in every target, the library included, so that
# libFuzzer is guided by the branches of the library's own bands.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "CONV_TA_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ "
                      "-DCMAKE_C_COMPILER=clang")
endif()
if(NOT CONV_TA_BUILD_TESTS)
  message(FATAL_ERROR "CONV_TA_FUZZ needs CONV_TA_BUILD_TESTS: the target is one of the tests")
endif()
if(NOT CONV_TA_SANITIZE)
  set(CONV_TA_SANITIZE address,undefined)
endif()
add_compile_options(-fsanitize=fuzzer-no-link)
