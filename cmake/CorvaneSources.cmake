# The project's libraries, collected from the source folders.
#
#   corvane_core   pack/, app/, platform/ (all but the libcurl transport) and
#                  the plain parts of ui/ (special folders, launch string).
#                  Links neither Qt nor libcurl.
#   corvane_link   net/, sync/, the libcurl transport (platform/*_curl.cpp)
#                  and the start sequence (ui/start_sequence.cpp).
#   corvane_window the Qt window (every other ui/*.cpp that is not a main).
#
# Files named *_main.cpp are program entries and belong to no library.

set(_src ${CMAKE_CURRENT_SOURCE_DIR}/src)

file(GLOB _pack CONFIGURE_DEPENDS ${_src}/pack/*.cpp)
file(GLOB _app CONFIGURE_DEPENDS ${_src}/app/*.cpp)
file(GLOB _platform CONFIGURE_DEPENDS ${_src}/platform/*.cpp)
file(GLOB _net CONFIGURE_DEPENDS ${_src}/net/*.cpp)
file(GLOB _sync CONFIGURE_DEPENDS ${_src}/sync/*.cpp)
file(GLOB _ui CONFIGURE_DEPENDS ${_src}/ui/*.cpp)

set(_platform_curl ${_platform})
list(FILTER _platform_curl INCLUDE REGEX "_curl\\.cpp$")
list(FILTER _platform EXCLUDE REGEX "_curl\\.cpp$")
list(FILTER _platform EXCLUDE REGEX "_win\\.cpp$")
list(FILTER _ui EXCLUDE REGEX "_main\\.cpp$")

set(_ui_core ${_ui})
list(FILTER _ui_core INCLUDE REGEX "/(special_folders|launch_string)\\.cpp$")
set(_ui_link ${_ui})
list(FILTER _ui_link INCLUDE REGEX "/(start_sequence|cli_front_end)\\.cpp$")
set(_ui_window ${_ui})
list(FILTER _ui_window EXCLUDE REGEX "/(special_folders|launch_string|start_sequence|cli_front_end)\\.cpp$")

add_library(corvane_core STATIC ${_pack} ${_app} ${_platform} ${_ui_core})
target_include_directories(corvane_core PUBLIC ${_src})
target_compile_definitions(corvane_core PRIVATE
  CORVANE_DEFAULT_SERVER_ADDRESS="${CORVANE_DEFAULT_SERVER_ADDRESS}")
target_link_libraries(corvane_core PUBLIC ZLIB::ZLIB OpenSSL::Crypto Threads::Threads)

set(_link ${_net} ${_sync} ${_platform_curl} ${_ui_link})
if(_link)
  add_library(corvane_link STATIC ${_link})
  target_link_libraries(corvane_link PUBLIC corvane_core PRIVATE CURL::libcurl)
else()
  add_library(corvane_link INTERFACE)
  target_link_libraries(corvane_link INTERFACE corvane_core)
endif()

if(_ui_window)
  add_library(corvane_window STATIC ${_ui_window})
  set_target_properties(corvane_window PROPERTIES AUTOMOC ON AUTORCC ON)
  target_link_libraries(corvane_window PUBLIC corvane_link Qt6::Widgets)
endif()
