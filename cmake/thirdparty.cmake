# Header-only third-party libraries of the tools (not of the module): toml++
# (libtomlplusplus-dev, used header-only),
# nlohmann-json (nlohmann-json3-dev) and CLI11 (libcli11-dev). In a cross build the sysroot does not
# hold them; both are header-only, so the build links their Debian include
# directories into a private folder rather than putting the whole of
# /usr/include (the workstation's C library headers) on the include path.
set(KTZHOST_EXTRA_INCLUDES "")
if(CMAKE_CROSSCOMPILING)
    set(_ktzhost_inc ${CMAKE_CURRENT_BINARY_DIR}/third_party_include)
    file(MAKE_DIRECTORY ${_ktzhost_inc})
    foreach(_dir toml++ nlohmann CLI)
        if(NOT EXISTS /usr/include/${_dir})
            message(FATAL_ERROR "the tools need /usr/include/${_dir}: apt-get install "
                                "libtomlplusplus-dev nlohmann-json3-dev libcli11-dev")
        endif()
        if(NOT EXISTS ${_ktzhost_inc}/${_dir})
            file(CREATE_LINK /usr/include/${_dir} ${_ktzhost_inc}/${_dir} SYMBOLIC)
        endif()
    endforeach()
    set(KTZHOST_EXTRA_INCLUDES ${_ktzhost_inc})
else()
    find_path(KTZHOST_TOML_INCLUDE toml++/toml.h)
    find_path(KTZHOST_JSON_INCLUDE nlohmann/json.hpp)
    find_path(KTZHOST_CLI11_INCLUDE CLI/CLI.hpp)
    if(NOT KTZHOST_TOML_INCLUDE OR NOT KTZHOST_JSON_INCLUDE OR NOT KTZHOST_CLI11_INCLUDE)
        message(FATAL_ERROR "the tools need toml++, nlohmann-json and CLI11 headers: apt-get install "
                            "libtomlplusplus-dev nlohmann-json3-dev libcli11-dev")
    endif()
    set(KTZHOST_EXTRA_INCLUDES ${KTZHOST_TOML_INCLUDE} ${KTZHOST_JSON_INCLUDE} ${KTZHOST_CLI11_INCLUDE})
endif()

# toml++ as a header-only library (Debian's pkg-config would select its shared build).
add_library(ktzhost_thirdparty INTERFACE)
target_include_directories(ktzhost_thirdparty SYSTEM INTERFACE ${KTZHOST_EXTRA_INCLUDES})
target_compile_definitions(ktzhost_thirdparty INTERFACE TOML_HEADER_ONLY=1 TOML_EXCEPTIONS=1)

