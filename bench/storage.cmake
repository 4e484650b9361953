diviv_add_bench(bench_storage SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/storage_bench.cpp LIBS diviv_storage diviv_sim)
