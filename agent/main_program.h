// An ordinary program, as the java launcher runs one: its main found and
// called on a `main` thread of the launcher's shape, ended at a stop through
// its own stop method when stop.method names one, and through System.exit so
// that its shutdown hooks run. Only the contract's files include this.
#pragma once

#include "agent/application_contract.h"

// The main program's way of calling the application.
const ApplicationContract& MainProgramContract();

// Service thread, before the stop caller opens: the configuration the stop
// thread reads from then on.
void SetStopConfiguration(const Configuration* configuration);

// How events name the entry of a class named by main.class: either method.
const EntryMethodsText& EitherEntryText();
