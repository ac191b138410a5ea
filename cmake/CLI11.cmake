# CLI11, the runner's command-line parser: header-only, from Debian's
# libcli11-dev. Its headers are copied into the build tree and taken from
# there, so that the Windows build gets them without the host's /usr/include,
# whose other headers are not for Windows.
find_path(CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT CLI11_HEADERS)
  message(FATAL_ERROR "CLI11 is missing: scripts/install-deps.sh installs it (libcli11-dev)")
endif()
file(COPY ${CLI11_HEADERS}/CLI DESTINATION ${PROJECT_BINARY_DIR}/cli11)
add_library(cli11 INTERFACE)
target_include_directories(cli11 SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/cli11)
