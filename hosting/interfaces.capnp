# The four component interfaces of VOXA, as Cap'n Proto RPC interfaces.
#
# Method ordinals are the slot order of each interface: ordinal 0 is the
# first method after the three base-interface slots (query interface, add
# reference, release). Every method completes normally; outcomes travel in
# the results, exactly as the methods' own out arguments.
#
# Naming: Cap'n Proto names are camelCase without underscores, so a method
# `Set_ZBname` is `setZBname` here, a parameter `lOffset_hi` is `lOffsetHi`
# and `N` is `n`. The C++ names of the interfaces are kept ($Cxx.name).
#
# Types: a Windows `long` and `int` are Int32, `DWORD`/unsigned long are
# UInt32, `float` is Float32. Wide strings travel as Text (UTF-8); the
# servers cut them to narrow strings of at most 255 bytes. Byte arrays
# (BinaryData*, ucBuf, cPix) travel as Data whose length is `m_lSize`.
# Fixed float/int arrays travel as lists of their declared length.

@0xdf7a7348644691a2;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("voxa::rpc");

# Render work interface of class voxa_work (server voxa_server).
#
# `Renderparams` (the 900-byte view key of saveKey / restorKey) travels as
# Data of exactly 900 bytes in the record's own little-endian layout: the
# record is a fixed binary layout that the engine, the queue node and
# clients share byte for byte (offsets 0 to 896), and carrying its bytes
# keeps that one layout authoritative instead of a second, parallel
# 50-field schema that could drift from it. A server takes only a key of
# exactly 900 bytes; any other length is ignored.
interface IvoxaWork $Cxx.name("Ivoxa_work") {
  clearIt @0 () -> ();
  startUp @1 () -> ();
  setDoRender @2 () -> ();
  incrementEyePoint @3 (delx :Int32, dely :Int32, iMouseMode :Int32) -> ();
  saveKey @4 () -> (sKey :Data);
  restorKey @5 (sKey :Data) -> ();
  setZBname @6 (cZBnew :Text) -> ();
  setFrustum @7 (center :List(Float32), up :List(Float32), normal :List(Float32),
                 iWidth :Int32, iHeight :Int32, fPanWidth :Float32) -> ();
  addFrustum @8 (center :List(Float32), up :List(Float32), normal :List(Float32),
                 iWidth :Int32, iHeight :Int32, fPanWidth :Float32) -> ();
  setLUT @9 (sAmap :Text, sCmap :Text) -> ();
  zoomEyePoint @10 (delx :Int32, dely :Int32, iMouseMode :Int32) -> ();
  stopRendering @11 () -> ();
  setRenderQuality @12 (iPixErr :Int32, fAngleError :Float32, fSizeError :Float32) -> ();
  copyPixToFile @13 (cFile :Text) -> ();
  setCurrentWorkingDir @14 (cDir :Text) -> ();
  setOpacity @15 (fOpacity :Float32) -> ();
  setNearFarClip @16 (fNear :Float32, fFar :Float32) -> ();
  setHWnd @17 (iHWnd :Int32) -> ();                       # Set_hWnd(i_hWnd)
  setLUTirgb @18 (n :Int32, ind :List(Int32), red :List(Float32),
                  grn :List(Float32), blu :List(Float32)) -> ();
  setLUTia @19 (n :Int32, ind :List(Int32), alpha :List(Float32)) -> ();
  getLUT32irgb @20 () -> (n :Int32, ind :List(Int32), red :List(Float32),
                          grn :List(Float32), blu :List(Float32));
  getLUT32ia @21 () -> (n :Int32, ind :List(Int32), alp :List(Float32));
  setOption @22 (wcKey :Text, wcValue :Text) -> ();
  getPix @23 () -> (pData :Data);                          # BinaryDataVOXA
  getStatus @24 () -> (wcStatus :Text);
  putPix @25 (lSize :Int32, cPix :Data) -> ();
}

# Movie server interface of class mi (server reel1).
interface Imi {
  getTime @0 () -> (lTime :Int32);
  initialize @1 (wcFile :Text, iNx :Int32, iNy :Int32, iNframes :Int32) -> ();
  shutDown @2 () -> ();
  framePP @3 () -> ();
  setOffset @4 (lTimeOffset :Int32) -> ();
  setMovieParameters @5 (iTime0 :Int32, iFrame0 :Int32,
                         fFrame0m :Float32, fFrame0p :Float32) -> ();
  setOption @6 (wcKey :Text, wcValue :Text) -> ();
  getStatus @7 () -> (wcStatus :Text);
}

# Disk spool interface of class spool1 (server spool).
interface Ispool1 {
  readReq @0 (wcPathFile :Text, lOffsetHi :UInt32, lOffsetLo :UInt32,
              lNbytes :UInt32) -> (iBuf :Int32);
  initialize @1 () -> (iStatus :Int32);
  getReq @2 (iBuf :Int32) -> (pData :Data, iReady :Int32);   # BinaryDataSPOOL
  finish @3 () -> ();
  getSize @4 (wcPathFile :Text) -> (dwLo :UInt32, dwHi :UInt32);
  getStatus @5 (iBuf :Int32) -> (wcStatus :Text);
  initWrite @6 () -> (iStatus :Int32);
  writeReq @7 (wcPathFile :Text, lOffHi :UInt32, lOffLo :UInt32, lNbytes :Int32,
               ucBuf :Data) -> (iBuf :Int32);
  getWriteStatus @8 (iBuf :Int32) -> (iWrote :Int32);
}

# Remote file interface of class RemoteFiles (server fileport_server).
interface IRemoteFiles {
  getFileList @0 (wcDir :Text, wcFilter :Text) -> (wcList :Text);
  getFile @1 (wcFile :Text) -> (pData :Data);                 # BinaryData
  testGet @2 () -> (yy :Float32);
  getPartFile @3 (wcFile :Text, lOffset :Int32, lSize :Int32) -> (pData :Data);
}
