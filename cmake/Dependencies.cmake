# Third-party libraries: libcurl, Boost's header-only parts, threads, GoogleTest.
set(VORLANE_DEPS_DIR "/opt/vorlane-deps" CACHE PATH "Where scripts/setup puts the cross-build dependencies")

find_package(Threads REQUIRED)

add_library(vorlane_boost INTERFACE)
add_library(vorlane_curl INTERFACE)

if(WIN32)
    # Only the boost folder is exposed to MinGW, never /usr/include itself.
    target_include_directories(vorlane_boost SYSTEM INTERFACE "${VORLANE_DEPS_DIR}/mingw-boost")
    set(_curl "${VORLANE_DEPS_DIR}/mingw-curl")
    if(NOT EXISTS "${_curl}/lib/libcurl.a")
        message(FATAL_ERROR "libcurl for MinGW not found in ${_curl}: run scripts/setup")
    endif()
    target_include_directories(vorlane_curl SYSTEM INTERFACE "${_curl}/include")
    target_compile_definitions(vorlane_curl INTERFACE CURL_STATICLIB)
    # Link names of system DLLs that are delay-loaded (bcrypt, user32, ...)
    # name the delay-import libraries of DelayLoad.cmake.
    include(${CMAKE_CURRENT_LIST_DIR}/DelayLoad.cmake)
    # An imported target, so that the link line puts the system libraries
    # libcurl needs after it, whatever else needs them earlier.
    add_library(vorlane_libcurl STATIC IMPORTED)
    set_target_properties(vorlane_libcurl PROPERTIES IMPORTED_LOCATION "${_curl}/lib/libcurl.a"
        INTERFACE_LINK_LIBRARIES "bcrypt;advapi32;crypt32;ws2_32")
    target_link_libraries(vorlane_curl INTERFACE vorlane_libcurl)
    add_link_options(-static -static-libgcc -static-libstdc++)
else()
    find_package(Boost 1.74 REQUIRED)
    target_link_libraries(vorlane_boost INTERFACE Boost::headers)
    find_package(CURL REQUIRED)
    target_link_libraries(vorlane_curl INTERFACE CURL::libcurl)
endif()
# Boost.Format and friends must never pull in a compiled Boost library.
target_compile_definitions(vorlane_boost INTERFACE BOOST_ALL_NO_LIB)

if(VORLANE_BUILD_TESTS AND NOT TARGET GTest::gtest)
    # GoogleTest from Debian's source package, built with this tree's flags
    # (sanitizers, MinGW) rather than the prebuilt native archives.
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
        add_library(GTest::gmock ALIAS gmock)
    endif()
endif()
