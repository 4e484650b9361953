# The sound track: capture and G.726 coding of one second of sound, as a share of one core.
diviv_add_bench(bench_audio SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_bench.cpp LIBS diviv_recording diviv_sim)
