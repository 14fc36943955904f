// Every global of the update logic back to its program-start value, for the
// tests and the fault campaign, which run the logic again and again in one process.
#pragma once

void ResetLogicState();
