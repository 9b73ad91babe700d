package org.example.http;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;

/**
 * An ordinary Java program, written as any program that runs in the background is: its main
 * starts the work on threads of its own and returns, and a shutdown hook cleans up. It knows
 * nothing of whoever runs it.
 *
 * <p>Usage: {@code HttpSample <port> [words...]}. It serves HTTP on 127.0.0.1 at that port and
 * answers {@code GET /} with one line that names all its arguments. main returns once the port is
 * bound; the server's own thread (not a daemon) keeps the program alive until the shutdown hook
 * closes it.
 */
public final class HttpSample {
    private HttpSample() {}

    public static void main(String[] args) throws IOException {
        if (args.length == 0) {
            throw new IllegalArgumentException("usage: HttpSample <port> [words...]");
        }
        int port = Integer.parseInt(args[0].trim());
        String greeting = "HttpSample answers with arguments " + quoted(args) + "\n";
        HttpServer server =
                HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), port), 0);
        server.createContext("/", exchange -> answer(exchange, greeting));
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            System.out.println("HttpSample: shutdown hook ran, closing the server");
            server.stop(0);
        }, "HttpSample-shutdown"));
        server.start();
        System.out.println("HttpSample: listening on 127.0.0.1:" + port + ", arguments "
                + quoted(args));
    }

    private static void answer(HttpExchange exchange, String greeting) throws IOException {
        try {
            boolean root = exchange.getRequestURI().getPath().equals("/");
            boolean get = exchange.getRequestMethod().equals("GET");
            int status = !root ? 404 : !get ? 405 : 200;
            byte[] body = (status == 200 ? greeting : status + "\n").getBytes(StandardCharsets.UTF_8);
            exchange.getResponseHeaders().set("Content-Type", "text/plain; charset=utf-8");
            exchange.sendResponseHeaders(status, body.length);
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(body);
            }
            System.out.println("HttpSample: " + exchange.getRequestMethod() + " "
                    + exchange.getRequestURI() + " answered " + status);
        } finally {
            exchange.close();
        }
    }

    /** The arguments as ["a", "b c"], so that blanks and empty ones can be seen. */
    private static String quoted(String[] args) {
        StringBuilder text = new StringBuilder("[");
        for (int i = 0; i < args.length; ++i) {
            if (i > 0) text.append(", ");
            text.append('"').append(args[i]).append('"');
        }
        return text.append(']').toString();
    }
}
