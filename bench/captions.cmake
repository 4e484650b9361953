diviv_add_bench(bench_captions SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/captions_bench.cpp LIBS diviv_osd)
