# demo wall
127.0.0.2:0x0 C:/data/left.raw 320 240 12
127.0.0.3:320x0 C:/data/right.raw 320 240 12
