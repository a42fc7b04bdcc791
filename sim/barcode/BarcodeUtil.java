// Stand-in barcode tool: writes a Code 128 barcode of a text as a PNG file.
//   java -jar BarcodeUtil.jar IMAGE_PATH TEXT
// The text is encoded as UTF-8 bytes in code set B; bytes above 127 use FNC4
// and control bytes use SHIFT, so any text gives a valid symbol.
// BARCODE_SIM_LOG=FILE appends one line "IMAGE_PATH<TAB>TEXT" per run, which
// lets tests see every run and its arguments.
import java.awt.Color;
import java.awt.Graphics2D;
import java.awt.image.BufferedImage;
import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import javax.imageio.ImageIO;

public final class BarcodeUtil {
    // Bar/space widths in modules for the symbol values 0..105, then the stop.
    private static final String[] PATTERNS = {
        "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312",
        "132212", "221213", "221312", "231212", "112232", "122132", "122231", "113222",
        "123122", "123221", "223211", "221132", "221231", "213212", "223112", "312131",
        "311222", "321122", "321221", "312212", "322112", "322211", "212123", "212321",
        "232121", "111323", "131123", "131321", "112313", "132113", "132311", "211313",
        "231113", "231311", "112133", "112331", "132131", "113123", "113321", "133121",
        "313121", "211331", "231131", "213113", "213311", "213131", "311123", "311321",
        "331121", "312113", "312311", "332111", "314111", "221411", "431111", "111224",
        "111422", "121124", "121421", "141122", "141221", "112214", "112412", "122114",
        "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111",
        "111242", "121142", "121241", "114212", "124112", "124211", "411212", "421112",
        "421211", "212141", "214121", "412121", "111143", "111341", "131141", "114113",
        "114311", "411113", "411311", "113141", "114131", "311141", "411131", "211412",
        "211214", "211232", "2331112",
    };
    private static final int SHIFT = 98;
    private static final int FNC4 = 100;
    private static final int START_B = 104;
    private static final int STOP = 106;

    private static final int MODULE = 2;      // pixels per module
    private static final int QUIET = 10;      // modules of white on each side
    private static final int HEIGHT = 60;     // bar height in pixels

    static List<Integer> encode(String text) {
        List<Integer> values = new ArrayList<>();
        values.add(START_B);
        for (byte raw : text.getBytes(StandardCharsets.UTF_8)) {
            int b = raw & 0xff;
            if (b >= 128) {
                values.add(FNC4);
                b -= 128;
            }
            if (b < 32) {
                values.add(SHIFT);        // one code set A symbol
                values.add(b + 64);
            } else {
                values.add(b - 32);
            }
        }
        int sum = values.get(0);
        for (int i = 1; i < values.size(); ++i)
            sum += i * values.get(i);
        values.add(sum % 103);
        values.add(STOP);
        return values;
    }

    static BufferedImage render(List<Integer> values) {
        int modules = 2 * QUIET;
        for (int v : values)
            for (char c : PATTERNS[v].toCharArray())
                modules += c - '0';
        BufferedImage img = new BufferedImage(modules * MODULE, HEIGHT + 2 * QUIET,
                                              BufferedImage.TYPE_BYTE_GRAY);
        Graphics2D g = img.createGraphics();
        g.setColor(Color.WHITE);
        g.fillRect(0, 0, img.getWidth(), img.getHeight());
        g.setColor(Color.BLACK);
        int x = QUIET * MODULE;
        for (int v : values) {
            String p = PATTERNS[v];
            for (int i = 0; i < p.length(); ++i) {
                int w = (p.charAt(i) - '0') * MODULE;
                if (i % 2 == 0)
                    g.fillRect(x, QUIET, w, HEIGHT);
                x += w;
            }
        }
        g.dispose();
        return img;
    }

    private static void logRun(String path, String text) {
        String log = System.getenv("BARCODE_SIM_LOG");
        if (log == null || log.isEmpty())
            return;
        try (Writer w = new OutputStreamWriter(new FileOutputStream(log, true), StandardCharsets.UTF_8)) {
            w.write(path + "\t" + text + "\n");
        } catch (IOException e) {
            System.err.println("BarcodeUtil: cannot write log " + log + ": " + e.getMessage());
        }
    }

    public static void main(String[] args) {
        System.setProperty("java.awt.headless", "true");
        if (args.length < 1) {
            System.err.println("usage: java -jar BarcodeUtil.jar IMAGE_PATH [TEXT]");
            System.exit(2);
        }
        String path = args[0];
        String text = args.length > 1 ? args[1] : "";
        logRun(path, text);
        try {
            File out = new File(path);
            if (!ImageIO.write(render(encode(text)), "png", out)) {
                System.err.println("BarcodeUtil: no PNG writer");
                System.exit(1);
            }
        } catch (IOException e) {
            System.err.println("BarcodeUtil: cannot write " + path + ": " + e.getMessage());
            System.exit(1);
        }
    }
}
