# The 32-bit Windows program, built with mingw-w64 through cmake/mingw-w64-i686.cmake against
# the static QtCore / libcurl (Schannel) / zlib / GoogleTest prefix of scripts/win32-toolchain:
# Korvel.exe (static, GUI subsystem, importing only system DLLs), the sample client as a DLL,
# and the unit tests of the Windows platform layer, which ctest runs under Wine. Through
# cmake/mingw-w64-x86_64.cmake the same makes the 64-bit stand-in that 64-bit Wine runs.
find_package(Qt5 5.15 REQUIRED COMPONENTS Core)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
find_package(Threads REQUIRED)

include(cmake/LzmaSdk.cmake)

# The libraries curl's Schannel back-end and the threaded resolver need, besides Qt's own.
set(KORVEL_WIN32_SYSTEM_LIBS bcrypt crypt32 secur32 ws2_32 advapi32 iphlpapi ole32 uuid shell32 user32 gdi32)
# Everything static: libgcc, libstdc++ and winpthread must not become DLLs to ship.
set(KORVEL_WIN32_STATIC -static -static-libgcc -static-libstdc++)

file(GLOB_RECURSE KORVEL_SOURCES CONFIGURE_DEPENDS
  src/app/*.cpp src/base/*.cpp src/engine/*.cpp src/install/*.cpp src/ui/*.cpp
  src/platform/win32/*.cpp src/platform/headless/*.cpp)
list(FILTER KORVEL_SOURCES EXCLUDE REGEX "src/app/main\\.cpp$|src/platform/win32/entry\\.cpp$")
# The headless backend's message queue is plain C++; only its wake-up differs (win32/event_wait.cpp).
list(APPEND KORVEL_SOURCES src/platform/posix/message_queue.cpp)
# Windows' command-line and proxy-list rules, shared with the other systems.
list(APPEND KORVEL_SOURCES src/platform/command_line.cpp src/platform/proxy_list.cpp src/platform/save_file.cpp)
add_library(korvel STATIC ${KORVEL_SOURCES})
target_include_directories(korvel PUBLIC src)
target_compile_definitions(korvel PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX CURL_STATICLIB
  _WIN32_WINNT=0x0601)
target_compile_definitions(korvel PRIVATE
  KORVEL_DEFAULT_CATALOGUE_SERVER="${KORVEL_CATALOGUE_SERVER}"
  KORVEL_DEFAULT_COMPONENT_SERVER="${KORVEL_COMPONENT_SERVER}"
  KORVEL_DEFAULT_PACKAGE_SERVER="${KORVEL_PACKAGE_SERVER}"
  KORVEL_DEFAULT_STATS_SERVER="${KORVEL_STATS_SERVER}")
# libsodium, static, from its own cache directory (scripts/win32-toolchain sodium).
set(KORVEL_WIN32_SODIUM "" CACHE PATH "static libsodium for the Windows program")
if(NOT EXISTS "${KORVEL_WIN32_SODIUM}/lib/libsodium.a")
  message(FATAL_ERROR "KORVEL_WIN32_SODIUM must name the prefix of scripts/win32-toolchain sodium")
endif()
target_include_directories(korvel SYSTEM PUBLIC "${KORVEL_WIN32_SODIUM}/include")
target_compile_definitions(korvel PUBLIC SODIUM_STATIC)
target_link_libraries(korvel PUBLIC Qt5::Core CURL::libcurl ZLIB::ZLIB lzmasdk Threads::Threads
  "${KORVEL_WIN32_SODIUM}/lib/libsodium.a" ${KORVEL_WIN32_SYSTEM_LIBS})
include(src/ui/resources.cmake)

# The system DLLs that are not "known DLLs" are looked up in the program's own directory first
# when they are imported, and a downloaded installer lies among other downloads. So they are
# delay-loaded: the program loads them at their first use, after its start-up code has limited
# the search to the system directory (entry.cpp). Their import libraries come first on the link
# line, so that they, not mingw-w64's own, provide those functions; ld.lld links the program.
set(KORVEL_DELAY_LOADED NETAPI32 USERENV VERSION WINMM bcrypt CRYPT32)
set(delay_dir ${CMAKE_BINARY_DIR}/delay-import)
set(delay_libs "")
foreach(dll IN LISTS KORVEL_DELAY_LOADED)
  string(TOLOWER ${dll} lib)
  add_custom_command(OUTPUT ${delay_dir}/lib${lib}.a
    COMMAND ${CMAKE_COMMAND} -E make_directory ${delay_dir}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/delay-import-lib ${lib} ${dll}.dll ${delay_dir}/lib${lib}.a
            ${CMAKE_SYSTEM_PROCESSOR}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delay-import-lib VERBATIM)
  list(APPEND delay_libs ${delay_dir}/lib${lib}.a)
endforeach()
add_custom_target(korvel_delay_import DEPENDS ${delay_libs})

# One program, Korvel.exe in directory: every copy of it (the shipped one and those the tests
# build with other release keys) is built and linked the same way, so a test of one holds for
# the others.
function(korvel_win32_program target directory)
  add_executable(${target} WIN32 src/platform/win32/entry.cpp resources/korvel.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "Korvel" SUFFIX ".exe"
    RUNTIME_OUTPUT_DIRECTORY ${directory})
  target_link_libraries(${target} PRIVATE korvel)
  # Terminal-server aware (no per-session shims) and marked for Windows 7 (6.1) and later.
  target_link_options(${target} PRIVATE -municode ${KORVEL_WIN32_STATIC} -s
    -Wl,--tsaware -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,1)
  foreach(dll IN LISTS KORVEL_DELAY_LOADED)
    string(TOLOWER ${dll} lib)
    target_link_options(${target} PRIVATE ${delay_dir}/lib${lib}.a -Wl,--delayload=${dll}.dll)
  endforeach()
  add_dependencies(${target} korvel_delay_import)
  set_target_properties(${target} PROPERTIES
    RULE_LAUNCH_LINK ${CMAKE_SOURCE_DIR}/cmake/link-with-lld
    LINK_DEPENDS "${delay_libs};${CMAKE_SOURCE_DIR}/cmake/link-with-lld")
endfunction()
# The resource compiler's inputs beside the script itself.
set_source_files_properties(resources/korvel.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/korvel.ico;${CMAKE_SOURCE_DIR}/resources/korvel.manifest;${CMAKE_SOURCE_DIR}/src/base/product.h")

korvel_win32_program(Korvel ${CMAKE_BINARY_DIR})
korvel_release_keys(Korvel CONFIGURED)

# The program with the test release keys, for the signed-release road tests (as on Linux).
file(STRINGS ${CMAKE_SOURCE_DIR}/tests/support/release_key/test.pub test_key_lines)
list(GET test_key_lines 1 test_key)
file(STRINGS ${CMAKE_SOURCE_DIR}/tests/support/release_key/second.pub second_key_lines)
list(GET second_key_lines 1 second_key)
korvel_win32_program(Korvel_signed ${CMAKE_BINARY_DIR}/signed)
korvel_release_keys(Korvel_signed KEYS "${test_key}" "${second_key}" MINIMUM 2)

# The stand-in client: a DLL exporting its entry functions with the C calling convention.
add_library(sample_client SHARED tools/sample_client/sample_client.cpp)
set_target_properties(sample_client PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden)
set(KORVEL_SAMPLE_VERSION "1.0.0" CACHE STRING "version the sample client reports")
target_compile_definitions(sample_client PRIVATE KORVEL_SAMPLE_VERSION="${KORVEL_SAMPLE_VERSION}" UNICODE)
target_link_options(sample_client PRIVATE ${KORVEL_WIN32_STATIC} -s)

# Unit tests of the Windows platform layer (and the platform tests that hold on both systems),
# run under Wine: ctest calls them through the emulator scripts/wine-run.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)
file(GLOB win32_test_sources CONFIGURE_DEPENDS tests/platform/win32/*.cpp)
add_executable(platform_win32_tests ${win32_test_sources}
  tests/platform/lock_test.cpp tests/platform/library_test.cpp tests/platform/sha256_test.cpp tests/support/temp_home.cpp
  tests/support/target.cpp tests/support/installed_layout.cpp)
# Libraries the tests put around copies of the program: one planted under system DLLs' names,
# and a client that imports a library of its own version directory.
add_library(planted_dll SHARED tests/platform/win32/dlls/planted.cpp)
add_library(korvel_dependency SHARED tests/platform/win32/dlls/dependency.cpp)
add_library(dependent_client SHARED tests/platform/win32/dlls/dependent_client.cpp)
target_link_libraries(dependent_client PRIVATE korvel_dependency)
foreach(dll IN ITEMS planted_dll korvel_dependency dependent_client)
  set_target_properties(${dll} PROPERTIES PREFIX "")
  target_compile_definitions(${dll} PRIVATE UNICODE)
  target_link_options(${dll} PRIVATE ${KORVEL_WIN32_STATIC} -s)
endforeach()
target_include_directories(platform_win32_tests PRIVATE tests)
target_compile_definitions(platform_win32_tests PRIVATE
  KORVEL_SAMPLE_CLIENT="$<TARGET_FILE:sample_client>" KORVEL_EXE="$<TARGET_FILE:Korvel>"
  KORVEL_SIGNED_EXE="$<TARGET_FILE:Korvel_signed>" KORVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KORVEL_PLANTED_DLL="$<TARGET_FILE:planted_dll>"
  KORVEL_DEPENDENT_CLIENT="$<TARGET_FILE:dependent_client>" KORVEL_DEPENDENCY="$<TARGET_FILE:korvel_dependency>")
target_link_libraries(platform_win32_tests PRIVATE korvel GTest::gtest GTest::gtest_main version)
korvel_release_keys(platform_win32_tests NONE)
target_link_options(platform_win32_tests PRIVATE ${KORVEL_WIN32_STATIC})
add_dependencies(platform_win32_tests sample_client Korvel Korvel_signed planted_dll dependent_client)
# Listed when ctest runs (under Wine), so that building needs no Wine prefix.
gtest_discover_tests(platform_win32_tests DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST TEST_PREFIX "win32."
  PROPERTIES TIMEOUT 120)

# The binary patch applier's tests, with the publisher's patch writer to make their patches: the
# applier must hold in a 32-bit program as well.
add_executable(install_win32_tests tests/install/binary_patch_test.cpp tools/publish/patch_writer.cpp)
target_include_directories(install_win32_tests PRIVATE tests tools/publish)
target_link_libraries(install_win32_tests PRIVATE korvel lzmasdk_encoder GTest::gtest GTest::gtest_main)
target_link_options(install_win32_tests PRIVATE ${KORVEL_WIN32_STATIC})
gtest_discover_tests(install_win32_tests DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST TEST_PREFIX "win32."
  PROPERTIES TIMEOUT 120)

# The patch applier's bench stage (bench/run --patch weighs it under Wine): apply only.
add_executable(korvel-bench-patch bench/patch_stage.cpp)
set_target_properties(korvel-bench-patch PROPERTIES SUFFIX ".exe" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
target_link_libraries(korvel-bench-patch PRIVATE korvel psapi)
target_link_options(korvel-bench-patch PRIVATE ${KORVEL_WIN32_STATIC})
