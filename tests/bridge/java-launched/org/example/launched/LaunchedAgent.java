package org.example.launched;

import java.lang.instrument.Instrumentation;

/** The jar's Launcher-Agent-Class: runs before main. */
public final class LaunchedAgent {
    private LaunchedAgent() {}

    public static void agentmain(String arguments, Instrumentation instrumentation) {
        System.setProperty("launched.agent", "ran before main");
    }
}
