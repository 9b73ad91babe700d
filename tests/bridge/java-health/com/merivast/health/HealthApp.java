package com.merivast.health;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A server whose health a test decides. {@code GET /health} on the health port, and the static
 * method {@link #healthy()}, answer as the mode says: {@code ok} (200, true), {@code 503} (503,
 * false), {@code hang} (the caller's thread blocks until the mode changes: the health port's two
 * handler threads, "health-handler-1" and "-2", are then all blocked) and {@code throw} (500, an
 * exception). {@code GET /mode/<mode>} on the control port, served by a thread of its own, sets the
 * mode; {@code GET /count} there answers how many times {@code /health} was asked. Like a server
 * that joins its thread, main never returns.
 *
 * <p>Usage: {@code HealthApp <health port> <control port> <first mode>}.
 */
public final class HealthApp {
    private static final Object MODE_LOCK = new Object();
    // Not healthy until main has set the first mode: the host may ask before main runs.
    private static String mode = "503";
    private static final AtomicInteger ASKED = new AtomicInteger();

    private HealthApp() {}

    public static void main(String[] args) throws IOException, InterruptedException {
        setMode(args[2].trim());
        InetAddress loopback = InetAddress.getLoopbackAddress();
        HttpServer health =
                HttpServer.create(new InetSocketAddress(loopback, Integer.parseInt(args[0].trim())), 0);
        health.createContext("/health", HealthApp::answerHealth);
        AtomicInteger handlers = new AtomicInteger();
        health.setExecutor(Executors.newFixedThreadPool(2, work -> {
            Thread thread = new Thread(work, "health-handler-" + handlers.incrementAndGet());
            thread.setDaemon(true);
            return thread;
        }));
        HttpServer control =
                HttpServer.create(new InetSocketAddress(loopback, Integer.parseInt(args[1].trim())), 0);
        control.createContext("/mode/", HealthApp::answerControl);
        control.createContext("/count", exchange -> {
            try {
                respond(exchange, 200, Integer.toString(ASKED.get()));
            } finally {
                exchange.close();
            }
        });
        health.start();
        control.start();
        System.out.println("HealthApp: listening, mode " + mode);
        new CountDownLatch(1).await();
    }

    /** The health method: true when healthy. */
    public static boolean healthy() throws InterruptedException {
        String now = modeOnceAnswering("healthy()");
        if (now.equals("throw")) {
            System.out.println("HealthApp: healthy() throws");
            throw new IllegalStateException("the database is down");
        }
        System.out.println("HealthApp: healthy() answered " + now.equals("ok"));
        return now.equals("ok");
    }

    private static void answerHealth(HttpExchange exchange) throws IOException {
        ASKED.incrementAndGet();
        try {
            String now = modeOnceAnswering("GET /health");
            int status = now.equals("ok") ? 200 : now.equals("503") ? 503 : 500;
            respond(exchange, status, now);
            System.out.println("HealthApp: GET /health answered " + status);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        } finally {
            exchange.close();
        }
    }

    private static void answerControl(HttpExchange exchange) throws IOException {
        try {
            String wanted = exchange.getRequestURI().getPath().substring("/mode/".length());
            setMode(wanted);
            respond(exchange, 200, "mode " + wanted);
        } finally {
            exchange.close();
        }
    }

    private static void respond(HttpExchange exchange, int status, String text) throws IOException {
        byte[] body = (text + "\n").getBytes(StandardCharsets.UTF_8);
        exchange.sendResponseHeaders(status, body.length);
        try (OutputStream out = exchange.getResponseBody()) {
            out.write(body);
        }
    }

    private static void setMode(String wanted) {
        synchronized (MODE_LOCK) {
            mode = wanted;
            MODE_LOCK.notifyAll();
        }
        System.out.println("HealthApp: mode " + wanted);
    }

    /** The mode, once it is not "hang": the calling thread waits for that. */
    private static String modeOnceAnswering(String who) throws InterruptedException {
        synchronized (MODE_LOCK) {
            if (mode.equals("hang")) {
                System.out.println("HealthApp: " + who + " hangs on " + Thread.currentThread().getName());
            }
            while (mode.equals("hang")) {
                MODE_LOCK.wait();
            }
            return mode;
        }
    }
}
