voxa_add_fuzz_harness(nifti LIBS voxa_zbmake)
