# The npm packages and the MCP Bundle (the npm preset). Beside this build's server (Linux x86-64,
# static), builds the server for Linux aarch64 and Windows x86-64 with their toolchains, each in a
# build of its own under this one, and packs into this build folder:
#   demo-server-<platform>-<version>.tgz  one package per platform (os and cpu), holding the binary;
#   demo-server-<version>.tgz             the command: a launcher that starts the binary, with the
#                                         platform packages as optional dependencies;
#   demo-server-<version>.mcpb            an MCP Bundle with the Linux and Windows binaries.
# The bundle is checked and packed by the pinned MCP Bundle CLI (packaging/mcpb/), installed here
# from its lock file on the first build and again when the lock file changes.

set(DEMO_REPOSITORY_URL "git+https://c-seed-9af3f258.example/demo_server/demo_server.git"
  CACHE STRING "The repository named by the npm packages and the MCP Bundle")
find_program(DEMO_NPM_NODE node)
find_program(DEMO_NPM_NPM npm)
find_program(DEMO_AARCH64_STRIP aarch64-linux-gnu-strip)
find_program(DEMO_MINGW_STRIP x86_64-w64-mingw32-strip)
if(NOT DEMO_NPM_NODE OR NOT DEMO_NPM_NPM OR NOT DEMO_AARCH64_STRIP OR NOT DEMO_MINGW_STRIP)
  message(FATAL_ERROR "The npm packages need Node.js with npm and the aarch64 and mingw-w64 cross toolchains:\n"
    "  sudo apt-get install nodejs npm g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64-posix wine64")
endif()

string(REGEX MATCH "^(.*) <(.*)>$" match "${CPACK_PACKAGE_CONTACT}")
set(npm_author_name "${CMAKE_MATCH_1}")
set(npm_author_email "${CMAKE_MATCH_2}")
set(npm_out ${CMAKE_BINARY_DIR})
set(npm_stage ${CMAKE_BINARY_DIR}/stage)

# The cross builds: the release server alone, linked statically like this one.
include(ExternalProject)
foreach(cross aarch64 windows)
  set(toolchain ${PROJECT_SOURCE_DIR}/cmake/aarch64-linux-gnu.cmake)
  set(binary ${CMAKE_BINARY_DIR}/${cross}/demo_server)
  if(cross STREQUAL windows)
    set(toolchain ${PROJECT_SOURCE_DIR}/cmake/x86_64-w64-mingw32.cmake)
    set(binary ${binary}.exe)
  endif()
  ExternalProject_Add(npm_${cross}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${cross}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DDEMO_STATIC=ON
    BUILD_COMMAND ${CMAKE_COMMAND} --build . --target demo_server
    BUILD_BYPRODUCTS ${binary}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  set(npm_${cross}_binary ${binary})
endforeach()

# One row per platform package: Node's platform and arch, what the README calls it, the built
# binary, the strip that fits it. The launcher (packaging/npm/bin/demo-server.js) knows the same names.
set(npm_platforms linux-x64 linux-arm64 win32-x64)
set(npm_linux-x64 linux x64 "Linux x86-64" $<TARGET_FILE:demo_server> ${CMAKE_STRIP} demo_server)
set(npm_linux-arm64 linux arm64 "Linux aarch64" ${npm_aarch64_binary} ${DEMO_AARCH64_STRIP} demo_server)
set(npm_win32-x64 win32 x64 "Windows x86-64" ${npm_windows_binary} ${DEMO_MINGW_STRIP} demo_server.exe)
set(npm_dependencies npm_aarch64 npm_windows demo_server)

set(npm_tarballs)
set(npm_optional_dependencies)
foreach(platform ${npm_platforms})
  list(GET npm_${platform} 0 npm_os)
  list(GET npm_${platform} 1 npm_cpu)
  list(GET npm_${platform} 2 npm_what)
  list(GET npm_${platform} 3 built)
  list(GET npm_${platform} 4 strip)
  list(GET npm_${platform} 5 file)
  set(npm_name demo-server-${platform})
  set(dir ${npm_stage}/${npm_name})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/npm/platform/package.json.in ${dir}/package.json @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/npm/platform/README.md.in ${dir}/README.md @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${dir}/LICENSE COPYONLY)
  add_custom_command(OUTPUT ${dir}/bin/${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/bin
    COMMAND ${strip} -o ${dir}/bin/${file} ${built}
    DEPENDS ${built} ${npm_dependencies}
    COMMENT "Stripping the ${npm_what} server into ${npm_name}" VERBATIM)
  set(tarball ${npm_out}/${npm_name}-${PROJECT_VERSION}.tgz)
  add_custom_command(OUTPUT ${tarball}
    COMMAND ${DEMO_NPM_NPM} pack --silent --pack-destination ${npm_out}
    WORKING_DIRECTORY ${dir}
    DEPENDS ${dir}/bin/${file} ${dir}/package.json ${dir}/README.md ${dir}/LICENSE
    COMMENT "Packing ${npm_name}" VERBATIM)
  list(APPEND npm_tarballs ${tarball})
  list(APPEND npm_optional_dependencies "    \"${npm_name}\": \"${PROJECT_VERSION}\"")
endforeach()
list(JOIN npm_optional_dependencies ",\n" npm_optional_dependencies)

set(dir ${npm_stage}/demo-server)
configure_file(${PROJECT_SOURCE_DIR}/packaging/npm/package.json.in ${dir}/package.json @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/npm/README.md ${dir}/README.md COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/npm/bin/demo-server.js ${dir}/bin/demo-server.js COPYONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${dir}/LICENSE COPYONLY)
set(tarball ${npm_out}/demo-server-${PROJECT_VERSION}.tgz)
add_custom_command(OUTPUT ${tarball}
  COMMAND ${DEMO_NPM_NPM} pack --silent --pack-destination ${npm_out}
  WORKING_DIRECTORY ${dir}
  DEPENDS ${dir}/package.json ${dir}/README.md ${dir}/bin/demo-server.js ${dir}/LICENSE
  COMMENT "Packing demo-server" VERBATIM)
list(APPEND npm_tarballs ${tarball})

# The bundle: the manifest, the Linux x86-64 and Windows binaries in server/, README and licence.
set(tools ${CMAKE_BINARY_DIR}/mcpb-cli)
set(mcpb ${DEMO_NPM_NODE} ${tools}/node_modules/@anthropic-ai/mcpb/dist/cli/cli.js)
add_custom_command(OUTPUT ${tools}/node_modules/.package-lock.json
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/mcpb/package.json
    ${PROJECT_SOURCE_DIR}/packaging/mcpb/package-lock.json ${tools}
  COMMAND ${DEMO_NPM_NPM} ci --no-audit --no-fund --prefer-offline --silent
  WORKING_DIRECTORY ${tools}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/mcpb/package.json ${PROJECT_SOURCE_DIR}/packaging/mcpb/package-lock.json
  COMMENT "Installing the pinned MCP Bundle CLI" VERBATIM)
set(dir ${npm_stage}/mcpb)
configure_file(${PROJECT_SOURCE_DIR}/packaging/mcpb/manifest.json.in ${dir}/manifest.json @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/README.md ${dir}/README.md COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${dir}/LICENSE COPYONLY)
set(bundle ${npm_out}/demo-server-${PROJECT_VERSION}.mcpb)
add_custom_command(OUTPUT ${bundle}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/server
  COMMAND ${CMAKE_COMMAND} -E copy ${npm_stage}/demo-server-linux-x64/bin/demo_server
    ${npm_stage}/demo-server-win32-x64/bin/demo_server.exe ${dir}/server
  COMMAND ${mcpb} validate ${dir}/manifest.json
  COMMAND ${mcpb} pack ${dir} ${bundle}.part
  COMMAND ${mcpb} info ${bundle}.part
  COMMAND ${CMAKE_COMMAND} -E rename ${bundle}.part ${bundle}
  DEPENDS ${dir}/manifest.json ${dir}/README.md ${dir}/LICENSE ${tools}/node_modules/.package-lock.json
    ${npm_stage}/demo-server-linux-x64/bin/demo_server ${npm_stage}/demo-server-win32-x64/bin/demo_server.exe
  COMMENT "Checking and packing the MCP Bundle" VERBATIM)

add_custom_target(npm_packages ALL DEPENDS ${npm_tarballs} ${bundle})
