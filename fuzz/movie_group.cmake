voxa_add_fuzz_harness(movie_group LIBS voxa_vw)
