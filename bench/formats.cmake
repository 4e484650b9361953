# Media formats: our ASF writer against libavformat's ASF muxer, our G.726
# against spandsp's.
pkg_check_modules(DIVIV_BENCH_AV REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
pkg_check_modules(DIVIV_BENCH_SPANDSP REQUIRED IMPORTED_TARGET spandsp)
diviv_add_bench(bench_asf_mux SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/asf_mux_bench.cpp
  LIBS diviv_formats PkgConfig::DIVIV_BENCH_AV)
diviv_add_bench(bench_g726 SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/g726_bench.cpp
  LIBS diviv_formats PkgConfig::DIVIV_BENCH_SPANDSP)
