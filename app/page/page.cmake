# Included by app/CMakeLists.txt: the listening page's writer, and its
# template, style and scripts turned into a C++ source at build time.
set(page_assets ${CMAKE_CURRENT_LIST_DIR}/page.html ${CMAKE_CURRENT_LIST_DIR}/page.css
    ${CMAKE_CURRENT_LIST_DIR}/page.js ${CMAKE_CURRENT_LIST_DIR}/selftest.js)
set(page_assets_cpp ${CMAKE_CURRENT_BINARY_DIR}/page_assets.cpp)
add_custom_command(
  OUTPUT ${page_assets_cpp}
  COMMAND ${CMAKE_COMMAND} -DOUT=${page_assets_cpp}
          -DDIR=${CMAKE_CURRENT_LIST_DIR}
          -P ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  DEPENDS ${page_assets} ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  COMMENT "Embedding the listening page"
  VERBATIM)
target_sources(korvane_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/page.cpp
  ${CMAKE_CURRENT_LIST_DIR}/page_audio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/page_grid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/page_run.cpp
  ${page_assets_cpp})
target_include_directories(korvane_app PRIVATE ${CMAKE_CURRENT_LIST_DIR})
