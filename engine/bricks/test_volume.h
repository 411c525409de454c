// Work buffers for texturing a brick, and the built-in test volume.
//
// WorkBuffers holds six byte buffers of one common size: the padded main
// brick, its y-z and x-z transposes, the padded second brick, and its y-z
// and x-z transposes (the last also stages a second brick that needs
// padding). They start at 2 MiB and only grow. Owned by the BrickStore,
// used by the render thread only.
#pragma once

#include "engine/bricks/brick_table.h"
#include "platform/direct_io.h"

#include <cstdint>

namespace voxa {

inline constexpr int64_t kInitialWorkBufferBytes = 2097152;
inline constexpr int kTestVolumeSide = 64;

class WorkBuffers {
public:
    WorkBuffers();
    // Grows all six buffers to at least bytes (released and allocated
    // again); never shrinks. False when memory cannot be had (the old
    // buffers are kept).
    bool Reserve(int64_t bytes);
    int64_t Size() const { return m_size; }

    unsigned char* PaddedMain() const { return m_buf[0].Data(); }
    unsigned char* MainYZ() const { return m_buf[1].Data(); }
    unsigned char* MainXZ() const { return m_buf[2].Data(); }
    unsigned char* PaddedSecond() const { return m_buf[3].Data(); }
    unsigned char* SecondYZ() const { return m_buf[4].Data(); }
    unsigned char* SecondXZ() const { return m_buf[5].Data(); }
    unsigned char* Staging() const { return SecondXZ(); }

    // Marks that the transposed copies are valid (made on first use by the
    // slice passes).
    bool yzValid = false;
    bool xzValid = false;

private:
    AlignedBuffer m_buf[6];
    int64_t m_size = 0;
};

// Voxel value of the test volume at (x, y, z).
unsigned char TestVolumeVoxel(int x, int y, int z);

// Makes the one-brick test volume: a 64^3 brick at stride 1, its bytes in
// the padded main buffer and copied to the x-z buffer, limits +-scale.
// Clears the transposes' valid marks.
void MakeTestVolume(BrickTable& table, WorkBuffers& buffers, float sx, float sy, float sz);

}  // namespace voxa
