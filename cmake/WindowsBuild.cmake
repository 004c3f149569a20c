# Debian's header-only libraries (CLI11, nlohmann-json) serve the Windows
# build as they are: their folders alone go on its include path, never the
# build machine's /usr/include itself.
set(PELLOMATIC_HEADERS_DIR ${PROJECT_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${PELLOMATIC_HEADERS_DIR})
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/install-deps.sh build")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${PELLOMATIC_HEADERS_DIR}/${dir} SYMBOLIC)
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${PELLOMATIC_HEADERS_DIR})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${PELLOMATIC_HEADERS_DIR})
