// The values of one G0/G1 line as a linear move needs them: the axes the line
// gives, in millimetres, and the feed in millimetres per minute.
#pragma once

#include <cstdint>

struct MoveValues {
    // Axis indices, in the order X, Y, Z, E.
    static constexpr int kAxes = 4;

    double axis[kAxes] = {0.0, 0.0, 0.0, 0.0};
    // Bit i set: the line gives axis i.
    uint8_t given = 0;
    double feed = 0.0;

    bool Gives(int index) const { return (given >> index) & 1u; }
    void Set(int index, double value) {
        axis[index] = value;
        given = static_cast<uint8_t>(given | (1u << index));
    }
    // The index of a G-code axis letter, or -1 for any other letter.
    static int IndexOf(char letter) {
        switch (letter) {
            case 'X':
                return 0;
            case 'Y':
                return 1;
            case 'Z':
                return 2;
            case 'E':
                return 3;
            default:
                return -1;
        }
    }
};
