voxa_add_fuzz_harness(zb_text LIBS voxa_bricks)
