#pragma once

// The value doubles as the index of the channel's entry in the update server's version list.
enum UpdateChannel {
    Stable = 0, // neither of the others
    Beta = 1,   // [Channel] beta is true and alpha is empty
    Alpha = 2   // [Channel] alpha names the alpha mirror
};
