package com.merivast.exiting;

import java.io.ByteArrayOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.InputStream;
import java.io.PrintStream;

/**
 * A program that prints, for each variable named in its arguments, what System.getenv and a child
 * process (printenv) see of it, as "getenv NAME=value" and "child NAME=value" lines in UTF-8.
 */
public final class EnvironmentMain {
    private EnvironmentMain() {}

    public static void main(String[] names) throws Exception {
        PrintStream out = new PrintStream(new FileOutputStream(FileDescriptor.out), true, "UTF-8");
        for (String name : names) {
            out.println("getenv " + name + "=" + System.getenv(name));
            Process child = new ProcessBuilder("printenv", name).start();
            String seen = new String(readAll(child.getInputStream()), "UTF-8").trim();
            child.waitFor();
            out.println("child " + name + "=" + seen);
        }
    }

    private static byte[] readAll(InputStream in) throws Exception {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        byte[] buffer = new byte[4096];
        for (int n; (n = in.read(buffer)) > 0; ) bytes.write(buffer, 0, n);
        return bytes.toByteArray();
    }
}
