diviv_add_bench(bench_ringbuffer SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ringbuffer_bench.cpp LIBS diviv_core)
