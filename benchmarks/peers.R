# R peers for benchmarks/quality_peers.py, which writes every data set of a run
# to one directory and calls this script once:
#   Rscript --vanilla peers.R DIR
# DIR/cases.csv  one row per case: id, dim, n, m, x_off, y_off, e_off, methods
#                (";"-separated), reps, series
# DIR/data.f64   little-endian doubles: the case's x (n x dim, column-major) at
#                x_off, y (n) at y_off, evaluation points (m x dim) at e_off
# Writes DIR/results.csv (id, method, seconds, pred_off, status, info),
# DIR/pred.f64 (each result's m predictions at pred_off) and DIR/versions.csv.
# Times are elapsed seconds of the fit alone (best of `reps`, see time_fit),
# never of I/O or prediction. A case with a series name is one size of a speed series: a method
# whose time at the series' previous size, scaled linearly in n, passes the
# limit is skipped there and at every larger size.

suppressPackageStartupMessages({
  library(mgcv)
  library(robustbase)
  library(splines)
})

args <- commandArgs(trailingOnly = TRUE)
dir <- args[[1]]
limit <- if (length(args) >= 2) as.numeric(args[[2]]) else 60

cases <- read.csv(file.path(dir, "cases.csv"), stringsAsFactors = FALSE,
                  colClasses = c(series = "character", methods = "character"))
size <- file.info(file.path(dir, "data.f64"))$size
con <- file(file.path(dir, "data.f64"), "rb")
data <- readBin(con, "double", n = size / 8, size = 8, endian = "little")
close(con)

# loess (local quadratic) with its span chosen by generalized cross-validation
# over a log grid from 0.01 to 1, leaving out spans whose neighbourhoods hold
# too few points for the local fit. The exact trace of the smoother is
# quadratic in n, so above 1000 points its approximation is used, as the loess
# documentation advises.
LOESS_SPANS <- exp(seq(log(0.01), log(1), length.out = 21))

fit_loess <- function(X, y) {
  n <- length(y)
  d <- ncol(X)
  df <- data.frame(y = y, X)
  form <- if (d == 1) y ~ x1 else y ~ x1 + x2
  spans <- LOESS_SPANS[LOESS_SPANS * n >= (if (d == 1) 12 else 30)]
  ctrl <- loess.control(trace.hat = if (n > 1000) "approximate" else "exact")
  best <- NULL
  best_gcv <- Inf
  best_span <- NA
  kd_limited <- FALSE
  for (sp in spans) {
    warned <- FALSE
    fit <- tryCatch(
      withCallingHandlers(
        loess(form, data = df, span = sp, degree = 2, control = ctrl),
        warning = function(w) {
          if (grepl("k-d tree limited", conditionMessage(w))) warned <<- TRUE
          invokeRestart("muffleWarning")
        }
      ),
      error = function(e) NULL
    )
    if (is.null(fit)) next
    gcv <- n * sum(fit$residuals^2) / (n - fit$trace.hat)^2
    if (is.finite(gcv) && gcv < best_gcv) {
      best <- fit
      best_gcv <- gcv
      best_span <- sp
      kd_limited <- warned
    }
  }
  if (is.null(best)) stop("no span could be fitted")
  info <- sprintf("span=%.3g%s", best_span, if (kd_limited) " kd-tree-limited" else "")
  list(fit = best, info = info)
}

fit_mgcv <- function(X, y) {
  n <- length(y)
  df <- data.frame(y = y, X)
  if (ncol(X) == 1) {
    k <- min(40L, n %/% 2L)
    fit <- gam(y ~ s(x1, k = k), data = df, method = "REML")
    info <- sprintf("k=%d edf=%.1f", k, sum(fit$edf))
  } else {
    fit <- gam(y ~ te(x1, x2), data = df, method = "REML")
    info <- sprintf("edf=%.1f", sum(fit$edf))
  }
  list(fit = fit, info = info)
}

fit_smooth_spline <- function(X, y) {
  fit <- smooth.spline(X[, 1], y)
  list(fit = fit, info = sprintf("df=%.1f", fit$df))
}

# MM-regression on a cubic B-spline basis (bs, knots at quantiles of x). The
# number of basis functions is chosen by a robust BIC,
# n log(MAD(residuals)^2) + (df + 1) log(n), over a short list; a df whose
# S-estimate fails (random elemental subsets of a local basis are often
# singular) is left out. quality_peers.py applies the same choice to RLM.
LMROB_DFS <- c(6, 8, 11, 15, 20, 26)

fit_lmrob <- function(X, y) {
  n <- length(y)
  df <- data.frame(y = y, x1 = X[, 1])
  best <- NULL
  best_crit <- Inf
  best_df <- NA
  for (k in LMROB_DFS[LMROB_DFS <= n / 10]) {
    fit <- tryCatch(suppressWarnings(lmrob(y ~ bs(x1, df = k), data = df)),
                    error = function(e) NULL)
    if (is.null(fit) || !isTRUE(fit$converged)) next
    crit <- n * log(mad(residuals(fit))^2) + (k + 1) * log(n)
    if (is.finite(crit) && crit < best_crit) {
      best <- fit
      best_crit <- crit
      best_df <- k
    }
  }
  if (is.null(best)) stop("no df could be fitted")
  list(fit = best, info = sprintf("df=%d", best_df))
}

FITTERS <- list(
  "smooth.spline" = fit_smooth_spline,
  "loess" = fit_loess,
  "mgcv" = fit_mgcv,
  "lmrob" = fit_lmrob
)

predict_at <- function(method, fit, E) {
  if (method == "smooth.spline") return(predict(fit, E[, 1])$y)
  as.numeric(predict(fit, newdata = data.frame(E)))
}

# The best time of `reps` fits. The clock ticks in milliseconds, so a fit
# quicker than 20 ms is timed as the mean over a block of fits lasting 20 ms.
time_fit <- function(fitter, X, y, reps) {
  best <- Inf
  for (r in seq_len(reps)) {
    t0 <- proc.time()[["elapsed"]]
    fit <- fitter(X, y)
    t <- proc.time()[["elapsed"]] - t0
    if (t < 0.02) {
      k <- 0
      t0 <- proc.time()[["elapsed"]]
      repeat {
        fitter(X, y)
        k <- k + 1
        t <- proc.time()[["elapsed"]] - t0
        if (t >= 0.02) break
      }
      t <- t / k
    }
    best <- min(best, t)
  }
  list(fit = fit, secs = best)
}

# Warm-up fits, so that the first timed case does not pay for loading code.
local({
  set.seed(1)
  x <- runif(200)
  X <- cbind(x1 = x)
  y <- sin(6 * x) + rnorm(200) * 0.1
  for (f in FITTERS) invisible(f(X, y))
})

res <- vector("list", nrow(cases) * 4)
preds <- vector("list", nrow(cases) * 4)
nres <- 0
pred_off <- 0
last <- list()  # per series and method: c(n, seconds) of the previous size
started <- proc.time()[["elapsed"]]

for (i in seq_len(nrow(cases))) {
  cs <- cases[i, ]
  d <- cs$dim
  X <- matrix(data[cs$x_off + seq_len(cs$n * d)], ncol = d)
  colnames(X) <- paste0("x", seq_len(d))
  y <- data[cs$y_off + seq_len(cs$n)]
  E <- matrix(data[cs$e_off + seq_len(cs$m * d)], ncol = d)
  colnames(E) <- colnames(X)
  for (method in strsplit(cs$methods, ";", fixed = TRUE)[[1]]) {
    key <- paste(cs$series, method)
    status <- "ok"
    info <- ""
    secs <- NA_real_
    pred <- rep(NA_real_, cs$m)
    prev <- if (nzchar(cs$series)) last[[key]] else NULL
    if (!is.null(prev) && (is.na(prev[2]) || prev[2] * cs$n / prev[1] > limit)) {
      status <- "skipped"
      last[[key]] <- c(cs$n, NA)
    } else {
      out <- tryCatch(time_fit(FITTERS[[method]], X, y, cs$reps), error = function(e) e)
      if (inherits(out, "error")) {
        status <- "failed"
        info <- gsub("[\r\n,]", " ", conditionMessage(out))
        secs <- NA_real_
      } else {
        secs <- out$secs
        info <- out$fit$info
        pred <- predict_at(method, out$fit$fit, E)
      }
      if (nzchar(cs$series)) last[[key]] <- c(cs$n, secs)
    }
    nres <- nres + 1
    res[[nres]] <- data.frame(id = cs$id, method = method, seconds = secs,
                              pred_off = pred_off, status = status, info = info)
    preds[[nres]] <- pred
    pred_off <- pred_off + cs$m
  }
  if (i %% 50 == 0 || i == nrow(cases)) {
    message(sprintf("  R: %d/%d cases, %.0f s", i, nrow(cases),
                    proc.time()[["elapsed"]] - started))
  }
}

write.csv(do.call(rbind, res[seq_len(nres)]), file.path(dir, "results.csv"),
          row.names = FALSE)
con <- file(file.path(dir, "pred.f64"), "wb")
writeBin(as.double(unlist(preds[seq_len(nres)])), con, size = 8, endian = "little")
close(con)
write.csv(data.frame(
  name = c("R", "mgcv", "robustbase", "R BLAS"),
  version = c(paste(R.version$major, R.version$minor, sep = "."),
              format(packageVersion("mgcv")), format(packageVersion("robustbase")),
              basename(extSoftVersion()[["BLAS"]]))
), file.path(dir, "versions.csv"), row.names = FALSE)
