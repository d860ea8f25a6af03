# Intake of a large drop into the window, driven by bench/intake/run (which also adds this file to
# an older revision's tree to measure it the same way).
add_executable(pelorin_intake_bench ${CMAKE_CURRENT_LIST_DIR}/pelorin_intake_bench.cpp)
target_link_libraries(pelorin_intake_bench PRIVATE pelorin_shell)
