# Included from platform/CMakeLists.txt on builds that are not for Apple: the macOS sources
# cannot build here, so clang type-checks them against tools/apple-decls instead. A missing
# clang fails these tests rather than skipping them.

find_program(QUORVIA_APPLE_CHECK_CLANGXX NAMES clang++ clang++-14 clang++-15 clang++-16
             DOC "clang++ that compile-checks the Objective-C++ sources")
if(NOT QUORVIA_APPLE_CHECK_CLANGXX)
    set(QUORVIA_APPLE_CHECK_CLANGXX clang++)
endif()
set(apple_check ${PROJECT_SOURCE_DIR}/tools/check-apple-sources.sh)

add_test(NAME apple_sources_compile_check COMMAND ${apple_check})
set_tests_properties(apple_sources_compile_check PROPERTIES
    ENVIRONMENT CLANGXX=${QUORVIA_APPLE_CHECK_CLANGXX}
    FAIL_REGULAR_EXPRESSION "FAILED:")

# The check itself must reject each kind of mistake it exists for: clang names the mistake,
# then the script reports the file as failed (stdout comes after clang's diagnostics).
set(apple_check_rejects_misspelled_selector "declares the selector 'startRuning'")
set(apple_check_rejects_wrong_argument_type "cannot initialize a parameter of type 'AVCaptureInput")
set(apple_check_rejects_nil_to_nonnull "null passed to a callee that requires a non-null argument")
foreach(mistake misspelled_selector wrong_argument_type nil_to_nonnull)
    add_test(NAME apple_sources_compile_check_rejects_${mistake}
             COMMAND ${apple_check} ${PROJECT_SOURCE_DIR}/tools/apple-check-selftest/${mistake}.mm)
    set_tests_properties(apple_sources_compile_check_rejects_${mistake} PROPERTIES
        ENVIRONMENT CLANGXX=${QUORVIA_APPLE_CHECK_CLANGXX}
        PASS_REGULAR_EXPRESSION "${apple_check_rejects_${mistake}}.*FAILED: tools/apple-check-selftest/${mistake}.mm")
endforeach()

find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
    set(Python3_EXECUTABLE python3)
endif()
add_test(NAME apple_signing_files_grant_audio_only
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/check-apple-signing-files.py)
