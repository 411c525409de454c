# 2x1 wall: one movie server (reel1) per machine
wallpc1:0x0    /data/movies/head_00 320 256 24
wallpc2:320x0  /data/movies/head_01 320 256 24
# another copy of the line above's movie, on a second disk, read in parallel
& /data2/movies/head_01
# the same host tokens again: a second segment of each panel
wallpc1:0x0    /data/movies/tail_00 320 256 100
wallpc2:320x0  /data/movies/tail_01 320 256 100
# that segment plays frames 10..99 on every panel
> 10 100
