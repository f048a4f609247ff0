# Streaming analysis and level-true resynthesis of sounds of any length.
add_library(kv_stream STATIC
  ${CMAKE_CURRENT_LIST_DIR}/stream_shape.c
  ${CMAKE_CURRENT_LIST_DIR}/stream_frames.c
  ${CMAKE_CURRENT_LIST_DIR}/stream_analysis.c
  ${CMAKE_CURRENT_LIST_DIR}/stream_resynth.c
  ${CMAKE_CURRENT_LIST_DIR}/stream_pass.c)
set_target_properties(kv_stream PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON)
target_include_directories(kv_stream PUBLIC ${CMAKE_CURRENT_LIST_DIR})
# qm_audio: its window, block scratch and two-thread runner
target_link_libraries(kv_stream PUBLIC qm_audio Threads::Threads m)
target_compile_options(kv_stream PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O3 -fno-math-errno>)
