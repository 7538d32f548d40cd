#pragma once

// Registers the records and their vectors with the meta-type system, so that queued
// connections and QSignalSpy can carry them. Safe to call more than once.
void registerMetaTypes();
