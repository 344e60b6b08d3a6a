#pragma once

// Where the preloaded hold shim tells the test it is holding, and where it waits for the go.
constexpr int HoldTell = 20;
constexpr int HoldWait = 21;
