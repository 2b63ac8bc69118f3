# The browser build (emcmake): the update core with the web page's front end, and the simulated
# device for the page's stand-in port, each as an ES module with its WebAssembly.
#
# The core's port calls wait on Web Serial's promises through Asyncify. The modules run in the
# page only (ENVIRONMENT=web) and never evaluate strings as code, so that the page's content
# security policy can forbid it.
set(web_flags -sMODULARIZE=1 -sEXPORT_ES6=1 -sENVIRONMENT=web -sDYNAMIC_EXECUTION=0 -sALLOW_MEMORY_GROWTH=1
    -sEXPORTED_RUNTIME_METHODS=ccall,UTF8ToString,stringToUTF8,HEAPU8 -sINCOMING_MODULE_JS_API=onText,onEvent,onRecord,serialPort,frontEnd,print,printErr)

add_executable(updater_web ${update_core_sources} ${format_sources} ${frontend_sources}
  src/frontend/shown_text.cpp
  src/platform/digest_web.cpp src/platform/ecdsa_web.cpp src/platform/record_file_web.cpp src/platform/monotonic_clock_web.cpp
  src/platform/web_serial_port.cpp src/platform/serial_port_web.cpp
  src/web/web_run.cpp)
target_include_directories(updater_web PRIVATE src)
target_compile_definitions(updater_web PRIVATE UPDATER_VERSION="${PROJECT_VERSION}")
target_compile_options(updater_web PRIVATE -Os)
target_link_options(updater_web PRIVATE -Os ${web_flags} -sASYNCIFY=1 -sASYNCIFY_STACK_SIZE=65536
  -sEXPORT_NAME=createUpdater -sEXPORTED_FUNCTIONS=_malloc,_free)
set_target_properties(updater_web PROPERTIES SUFFIX ".mjs")

# The device behind the stand-in port of `make web` and the page's tests.
add_executable(device_sim tools/loader_sim/device.cpp tools/loader_sim/faults.cpp tools/loader_sim/device_web.cpp)
target_include_directories(device_sim PRIVATE src tools/loader_sim)
target_compile_options(device_sim PRIVATE -Os)
target_link_options(device_sim PRIVATE -Os ${web_flags} -sEXPORT_NAME=createDevice)
set_target_properties(device_sim PROPERTIES SUFFIX ".mjs")

# The keys the page trusts, a module of the page's own beside its WebAssembly: the key of
# UPDATER_TRUSTED_KEY (make web KEY=vendor.pub), or none.
if(TRUSTED_KEY_TEXT)
  set(trusted_keys "\"${TRUSTED_KEY_TEXT}\"")
else()
  set(trusted_keys "")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/trusted_keys.js CONTENT
  "// The P-256 public keys (PEM) an update file must be signed by to be used on this page; none: any file.\nexport const TRUSTED_KEYS = [@trusted_keys@];\n"
  @ONLY)
