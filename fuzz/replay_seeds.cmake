# Each fuzz target replays its committed seeds (fuzz/seeds/<target>/) as one ctest test, built
# without libFuzzer against the core, so that every test build (sanitized ones too) catches what
# the fuzz stage would find from its starting corpus.
file(GLOB fuzz_targets CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_*.cpp)
foreach(target_source IN LISTS fuzz_targets)
  get_filename_component(target ${target_source} NAME_WE)
  add_executable(${target}_replay ${target_source} ${CMAKE_CURRENT_LIST_DIR}/replay_seeds.cpp)
  target_link_libraries(${target}_replay PRIVATE lumenstat_core)
  add_test(NAME ${target}_replay
           COMMAND ${target}_replay ${CMAKE_CURRENT_LIST_DIR}/seeds/${target})
endforeach()
